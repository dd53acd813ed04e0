// Attributes: viSetAttribute, viGetAttribute, for instrument sessions and
// resource manager sessions. Each attribute is read into a buffer of its own
// width (ViUInt8, ViUInt16/ViInt16/ViBoolean, ViUInt32, or a string of up to
// 255 characters and a NUL in a 256-byte buffer) and nothing past it is
// written. Unknown attributes give VI_ERROR_NSUP_ATTR and write nothing;
// read-only ones refuse a set with VI_ERROR_ATTR_READONLY; a value the
// attribute cannot take gives VI_ERROR_NSUP_ATTR_STATE.
#include <cstdint>
#include <cstring>
#include <string>

#include "entry_point.h"
#include "session/session_events.h"
#include "session/session_table.h"
#include "transport/usb_resource_name.h"
#include "visa.h"

using sgvisa::session::SessionTable;

namespace {

// Version of this implementation: major in bits 20-31, minor in 8-19.
constexpr ViUInt32 kImplementationVersion = 0x00100000;
constexpr char kImplementationName[] = "sgvisa";
// The VISA standard gives USB INSTR resources only software triggers.
constexpr ViInt16 kTriggerSoftware = -1;

// The width of a value and where it goes.
struct Value {
    enum Kind { u8, u16, i16, u32, pointer, text } kind = u32;
    std::uint64_t number = 0;
    std::string string;

    static Value of(Kind k, std::uint64_t n) { return Value{k, n, {}}; }
    static Value str(std::string s) { return Value{text, 0, std::move(s)}; }
};

void store(const Value& v, void* out) {
    switch (v.kind) {
        case Value::u8: {
            const auto x = static_cast<ViUInt8>(v.number);
            std::memcpy(out, &x, sizeof x);
            break;
        }
        case Value::u16: {
            const auto x = static_cast<ViUInt16>(v.number);
            std::memcpy(out, &x, sizeof x);
            break;
        }
        case Value::i16: {
            const auto x = static_cast<ViInt16>(static_cast<std::int64_t>(v.number));
            std::memcpy(out, &x, sizeof x);
            break;
        }
        case Value::u32: {
            const auto x = static_cast<ViUInt32>(v.number);
            std::memcpy(out, &x, sizeof x);
            break;
        }
        case Value::pointer: {
            const auto x = static_cast<std::uintptr_t>(v.number);
            std::memcpy(out, &x, sizeof x);
            break;
        }
        case Value::text: {
            const std::size_t n = std::min<std::size_t>(v.string.size(), VI_FIND_BUFLEN - 1);
            std::memcpy(out, v.string.data(), n);
            static_cast<char*>(out)[n] = '\0';
            break;
        }
    }
}

bool is_boolean(ViAttrState v) {
    return v == VI_TRUE || v == VI_FALSE;
}

// What every resource of this library answers alike: the implementation.
bool implementation_value(ViAttr attr, Value& v) {
    switch (attr) {
        case VI_ATTR_RSRC_IMPL_VERSION:
            v = Value::of(Value::u32, kImplementationVersion);
            return true;
        case VI_ATTR_RSRC_SPEC_VERSION:
            v = Value::of(Value::u32, VI_SPEC_VERSION);
            return true;
        case VI_ATTR_RSRC_MANF_NAME:
            v = Value::str(kImplementationName);
            return true;
        case VI_ATTR_RSRC_MANF_ID:
            v = Value::of(Value::u16, 0);
            return true;
        default:
            return false;
    }
}

// Reads an instrument session attribute; false when there is no such one.
bool instrument_value(const sgvisa::session::InstrumentSession& s, ViAttr attr, Value& v) {
    if (implementation_value(attr, v))
        return true;
    const auto settings = s.settings();
    const auto& facts = s.device()->facts();
    switch (attr) {
        case VI_ATTR_RSRC_CLASS:
            v = Value::str("INSTR");
            return true;
        case VI_ATTR_RSRC_NAME:
            v = Value::str(sgvisa::canonical_name(s.name()));
            return true;
        case VI_ATTR_RSRC_LOCK_STATE:
            v = Value::of(Value::u32, s.resource_lock().resource_state());
            return true;
        case VI_ATTR_INTF_TYPE:
            v = Value::of(Value::u16, VI_INTF_USB);
            return true;
        case VI_ATTR_INTF_NUM:
            v = Value::of(Value::u16, s.name().board);
            return true;
        case VI_ATTR_INTF_INST_NAME:
            v = Value::str("USB" + std::to_string(s.name().board));
            return true;
        case VI_ATTR_RM_SESSION:
            v = Value::of(Value::u32, s.resource_manager());
            return true;
        case VI_ATTR_TMO_VALUE:
            v = Value::of(Value::u32, settings.timeout_ms);
            return true;
        case VI_ATTR_MAX_QUEUE_LENGTH:
            v = Value::of(Value::u32, settings.max_queue_length);
            return true;
        case VI_ATTR_TRIG_ID:
            v = Value::of(Value::i16, static_cast<std::uint64_t>(kTriggerSoftware));
            return true;
        case VI_ATTR_TERMCHAR:
            v = Value::of(Value::u8, settings.term_char);
            return true;
        case VI_ATTR_TERMCHAR_EN:
            v = Value::of(Value::u16, settings.term_char_enabled);
            return true;
        case VI_ATTR_SEND_END_EN:
            v = Value::of(Value::u16, settings.send_end);
            return true;
        case VI_ATTR_SUPPRESS_END_EN:
            v = Value::of(Value::u16, settings.suppress_end);
            return true;
        case VI_ATTR_IO_PROT:
            v = Value::of(Value::u16, settings.io_protocol);
            return true;
        case VI_ATTR_RD_BUF_OPER_MODE:
            v = Value::of(Value::u16, settings.read_buffer_mode);
            return true;
        case VI_ATTR_WR_BUF_OPER_MODE:
            v = Value::of(Value::u16, settings.write_buffer_mode);
            return true;
        case VI_ATTR_RD_BUF_SIZE:
            v = Value::of(Value::u32, settings.read_buffer_size);
            return true;
        case VI_ATTR_WR_BUF_SIZE:
            v = Value::of(Value::u32, settings.write_buffer_size);
            return true;
        case VI_ATTR_MANF_ID:
            v = Value::of(Value::u16, facts.vendor_id);
            return true;
        case VI_ATTR_MODEL_CODE:
            v = Value::of(Value::u16, facts.product_id);
            return true;
        case VI_ATTR_MANF_NAME:
            v = Value::str(facts.manufacturer);
            return true;
        case VI_ATTR_MODEL_NAME:
            v = Value::str(facts.product);
            return true;
        case VI_ATTR_USB_SERIAL_NUM:
            v = Value::str(facts.serial);
            return true;
        case VI_ATTR_USB_INTFC_NUM:
            v = Value::of(Value::i16, facts.interface_number);
            return true;
        case VI_ATTR_USB_PROTOCOL:
            v = Value::of(Value::i16, facts.interface_protocol);
            return true;
        case VI_ATTR_USB_MAX_INTR_SIZE:
            v = Value::of(Value::u16, facts.interrupt_packet_size);
            return true;
        case VI_ATTR_4882_COMPLIANT:
            v = Value::of(Value::u16, facts.interface_protocol == 1 ? VI_TRUE : VI_FALSE);
            return true;
        default:
            return false;
    }
}

// Sets a settable instrument session attribute in `settings`; `known` false
// when `attr` is not one.
ViStatus apply_setting(sgvisa::session::SessionSettings& settings, ViAttr attr, ViAttrState value,
                       bool& known) {
    known = true;
    switch (attr) {
        case VI_ATTR_TMO_VALUE:
            if (value > 0xFFFFFFFFu)
                return VI_ERROR_NSUP_ATTR_STATE;
            // A USB transfer cannot complete in no time: "immediate" is the
            // shortest timeout this library keeps, 1 ms.
            settings.timeout_ms = value == VI_TMO_IMMEDIATE ? 1 : static_cast<ViUInt32>(value);
            break;
        case VI_ATTR_MAX_QUEUE_LENGTH:
            if (value == 0 || value > 0xFFFFFFFFu)
                return VI_ERROR_NSUP_ATTR_STATE;
            settings.max_queue_length = static_cast<ViUInt32>(value);
            break;
        case VI_ATTR_TRIG_ID:
            if (static_cast<ViInt16>(value) != kTriggerSoftware || value > 0xFFFFu)
                return VI_ERROR_NSUP_ATTR_STATE;
            return VI_SUCCESS;
        case VI_ATTR_TERMCHAR:
            if (value > 0xFF)
                return VI_ERROR_NSUP_ATTR_STATE;
            settings.term_char = static_cast<std::uint8_t>(value);
            break;
        case VI_ATTR_TERMCHAR_EN:
            if (!is_boolean(value))
                return VI_ERROR_NSUP_ATTR_STATE;
            settings.term_char_enabled = value == VI_TRUE;
            break;
        case VI_ATTR_SEND_END_EN:
            if (!is_boolean(value))
                return VI_ERROR_NSUP_ATTR_STATE;
            settings.send_end = value == VI_TRUE;
            break;
        case VI_ATTR_SUPPRESS_END_EN:
            if (!is_boolean(value))
                return VI_ERROR_NSUP_ATTR_STATE;
            settings.suppress_end = value == VI_TRUE;
            break;
        case VI_ATTR_IO_PROT:
            // Vendor-specific USBTMC messages are not carried.
            if (value != VI_PROT_NORMAL)
                return VI_ERROR_NSUP_ATTR_STATE;
            settings.io_protocol = VI_PROT_NORMAL;
            break;
        case VI_ATTR_RD_BUF_OPER_MODE:
            if (value != VI_FLUSH_ON_ACCESS && value != VI_FLUSH_DISABLE)
                return VI_ERROR_NSUP_ATTR_STATE;
            settings.read_buffer_mode = static_cast<std::uint16_t>(value);
            break;
        case VI_ATTR_WR_BUF_OPER_MODE:
            if (value != VI_FLUSH_ON_ACCESS && value != VI_FLUSH_WHEN_FULL)
                return VI_ERROR_NSUP_ATTR_STATE;
            settings.write_buffer_mode = static_cast<std::uint16_t>(value);
            break;
        default:
            known = false;
            return VI_ERROR_NSUP_ATTR;
    }
    return VI_SUCCESS;
}

// Sets an instrument session attribute.
ViStatus set_instrument_value(sgvisa::session::InstrumentSession& s, ViAttr attr,
                              ViAttrState value) {
    bool known = true;
    const ViStatus st = s.change_settings([&](sgvisa::session::SessionSettings& settings) {
        const ViStatus applied = apply_setting(settings, attr, value, known);
        if (applied == VI_SUCCESS && attr == VI_ATTR_MAX_QUEUE_LENGTH)
            s.events().set_queue_length(settings.max_queue_length);
        return applied;
    });
    if (!known) {
        Value ignored;
        return instrument_value(s, attr, ignored) ? VI_ERROR_ATTR_READONLY : VI_ERROR_NSUP_ATTR;
    }
    return st;
}

// VISA's 64-bit variant of VI_ATTR_RET_COUNT. PyVISA asks for it with a
// ViUInt32 buffer, so it is written 32 bits wide, like VI_ATTR_RET_COUNT:
// never past a buffer, and exact for any count an operation can return.
constexpr ViAttr kReturnCount64 = 0x3FFF4028;

bool event_value(const sgvisa::session::VisaEvent& e, ViAttr attr, Value& v) {
    switch (attr) {
        case VI_ATTR_EVENT_TYPE:
            v = Value::of(Value::u32, e.type);
            return true;
        default:
            break;
    }
    if (e.type != VI_EVENT_IO_COMPLETION)
        return false;
    switch (attr) {
        case VI_ATTR_STATUS:
            v = Value::of(Value::u32, static_cast<ViUInt32>(e.status));
            return true;
        case VI_ATTR_RET_COUNT:
        case kReturnCount64:
            v = Value::of(Value::u32, e.return_count);
            return true;
        case VI_ATTR_JOB_ID:
            v = Value::of(Value::u32, e.job_id);
            return true;
        case VI_ATTR_OPER_NAME:
            v = Value::str(e.operation_name);
            return true;
        case VI_ATTR_BUFFER:
            v = Value::of(Value::pointer, reinterpret_cast<std::uintptr_t>(e.buffer));
            return true;
        default:
            return false;
    }
}

bool resource_manager_value(const sgvisa::session::ResourceManagerState& rm, ViAttr attr,
                            Value& v) {
    if (implementation_value(attr, v))
        return true;
    switch (attr) {
        case VI_ATTR_RSRC_LOCK_STATE:
            v = Value::of(Value::u32, VI_NO_LOCK);
            return true;
        case VI_ATTR_TMO_VALUE:
            v = Value::of(Value::u32, rm.timeout_ms.load());
            return true;
        default:
            return false;
    }
}

}  // namespace

SGVISA_EXPORT ViStatus viSetAttribute(ViObject vi, ViAttr attrName, ViAttrState attrValue) {
    const sgvisa::api::CallTrace traced("viSetAttribute", [&](sgvisa::api::CallArgs& a) {
        a.obj("vi", vi).hex("attrName", attrName).hex("attrValue", attrValue);
    });
    return sgvisa::api::guarded([&]() -> ViStatus {
        auto& table = SessionTable::global();
        if (const auto session = table.instrument(vi))
            return set_instrument_value(*session, attrName, attrValue);
        if (const auto rm = table.resource_manager(vi)) {
            if (attrName == VI_ATTR_TMO_VALUE) {
                if (attrValue > 0xFFFFFFFFu)
                    return VI_ERROR_NSUP_ATTR_STATE;
                rm->timeout_ms = static_cast<ViUInt32>(attrValue);
                return VI_SUCCESS;
            }
            Value ignored;
            return resource_manager_value(*rm, attrName, ignored) ? VI_ERROR_ATTR_READONLY
                                                                  : VI_ERROR_NSUP_ATTR;
        }
        if (const auto event = table.event(vi)) {
            Value ignored;
            return event_value(*event, attrName, ignored) ? VI_ERROR_ATTR_READONLY
                                                          : VI_ERROR_NSUP_ATTR;
        }
        return table.find_list(vi) ? VI_ERROR_NSUP_ATTR : VI_ERROR_INV_OBJECT;
    });
}

SGVISA_EXPORT ViStatus viGetAttribute(ViObject vi, ViAttr attrName, void* attrValue) {
    const sgvisa::api::CallTrace traced("viGetAttribute", [&](sgvisa::api::CallArgs& a) {
        a.obj("vi", vi)
            .hex("attrName", attrName)
            .hex("attrValue", reinterpret_cast<std::uintptr_t>(attrValue));
    });
    return sgvisa::api::guarded([&]() -> ViStatus {
        auto& table = SessionTable::global();
        Value v;
        bool known = false;
        if (const auto session = table.instrument(vi)) {
            known = instrument_value(*session, attrName, v);
        } else if (const auto rm = table.resource_manager(vi)) {
            known = resource_manager_value(*rm, attrName, v);
        } else if (const auto event = table.event(vi)) {
            known = event_value(*event, attrName, v);
        } else if (!table.find_list(vi)) {
            return VI_ERROR_INV_OBJECT;
        }
        if (!known)
            return VI_ERROR_NSUP_ATTR;
        if (attrValue == nullptr)
            return VI_ERROR_USER_BUF;
        store(v, attrValue);
        return VI_SUCCESS;
    });
}
