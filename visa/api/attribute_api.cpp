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
#include "transport/resource_name.h"
#include "visa.h"

using sgvisa::session::SessionTable;

namespace {

// Version of this implementation, the project's (CMake's), encoded as
// VI_SPEC_VERSION is: major in bits 20-31, minor in 8-19, sub-minor in 0-7.
static_assert(SG_VERSION_MAJOR < 0x1000 && SG_VERSION_MINOR < 0x1000 && SG_VERSION_PATCH < 0x100,
              "the version's parts fit their bits");
constexpr ViUInt32 kImplementationVersion =
    (ViUInt32{SG_VERSION_MAJOR} << 20) | (ViUInt32{SG_VERSION_MINOR} << 8) | SG_VERSION_PATCH;
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

using sgvisa::session::SessionSettings;

// The kinds of resource an attribute belongs to, as a mask.
enum Kinds : unsigned {
    kUsb = 1,          // USB INSTR
    kTcpipInstr = 2,   // TCPIP INSTR
    kTcpipSocket = 4,  // TCPIP SOCKET
    kTcpip = kTcpipInstr | kTcpipSocket,
    kEvery = kUsb | kTcpip,
};

unsigned kind_of(const sgvisa::ResourceName& name) {
    if (std::holds_alternative<sgvisa::TcpipInstrName>(name))
        return kTcpipInstr;
    if (std::holds_alternative<sgvisa::TcpipSocketName>(name))
        return kTcpipSocket;
    return kUsb;
}

// What an instrument session's attribute is read from. The row's kinds
// say which of the facts are there.
struct InstrumentView {
    const sgvisa::session::InstrumentSession& session;
    const SessionSettings& settings;
    const sgvisa::InterfaceFacts& facts;

    const sgvisa::UsbDeviceFacts& usb() const { return std::get<sgvisa::UsbDeviceFacts>(facts); }
    const sgvisa::LanFacts& lan() const { return std::get<sgvisa::LanFacts>(facts); }
    unsigned board() const {
        return std::visit([](const auto& n) { return n.board; }, session.name());
    }
};

// One attribute of the resources of `kinds`: how it is read and, when a
// program may set it, how a value is checked and goes into the session's
// settings (VI_ERROR_NSUP_ATTR_STATE for one the attribute cannot take).
// Attributes the transport keeps itself are set through it instead.
struct Attribute {
    ViAttr attr;
    Value (*get)(const InstrumentView&);
    ViStatus (*set)(SessionSettings&, ViAttrState) = nullptr;
    unsigned kinds = kEvery;
    bool kept_by_transport = false;
};

// A row whose value the transport keeps (Transport::get_interface_attribute),
// read as `WIDTH` (Value::u16 for a ViBoolean, Value::u32).
#define SG_TRANSPORT_VALUE(ATTR, KINDS, WIDTH)                          \
    Attribute {                                                         \
        ATTR,                                                           \
            [](const InstrumentView& s) {                               \
                ViAttrState v = 0;                                      \
                (void)s.session.device()->transport_attribute(ATTR, v); \
                return Value::of(WIDTH, v);                             \
            },                                                          \
            nullptr, KINDS, true                                        \
    }
#define SG_TRANSPORT_ATTRIBUTE(ATTR, KINDS) SG_TRANSPORT_VALUE(ATTR, KINDS, Value::u16)

// A boolean setting's row: read as a ViBoolean, set from VI_TRUE or VI_FALSE.
#define SG_BOOLEAN_SETTING(ATTR, FIELD)                                                        \
    Attribute {                                                                                \
        ATTR, [](const InstrumentView& s) { return Value::of(Value::u16, s.settings.FIELD); }, \
            [](SessionSettings& settings, ViAttrState value) -> ViStatus {                     \
                if (!is_boolean(value))                                                        \
                    return VI_ERROR_NSUP_ATTR_STATE;                                           \
                settings.FIELD = value == VI_TRUE;                                             \
                return VI_SUCCESS;                                                             \
            }                                                                                  \
    }

// What every resource of this library answers alike, read-only: the
// implementation.
struct ImplementationAttribute {
    ViAttr attr;
    Value (*get)();
};

constexpr ImplementationAttribute kImplementationAttributes[] = {
    {VI_ATTR_RSRC_IMPL_VERSION, [] { return Value::of(Value::u32, kImplementationVersion); }},
    {VI_ATTR_RSRC_SPEC_VERSION, [] { return Value::of(Value::u32, VI_SPEC_VERSION); }},
    {VI_ATTR_RSRC_MANF_NAME, [] { return Value::str(kImplementationName); }},
    {VI_ATTR_RSRC_MANF_ID, [] { return Value::of(Value::u16, 0); }},
};

bool implementation_value(ViAttr attr, Value& v) {
    for (const ImplementationAttribute& a : kImplementationAttributes) {
        if (a.attr == attr) {
            v = a.get();
            return true;
        }
    }
    return false;
}

constexpr Attribute kInstrumentAttributes[] = {
    {VI_ATTR_RSRC_CLASS,
     [](const InstrumentView& s) {
         return Value::str(kind_of(s.session.name()) == kTcpipSocket ? "SOCKET" : "INSTR");
     }},
    {VI_ATTR_RSRC_NAME,
     [](const InstrumentView& s) { return Value::str(sgvisa::canonical_name(s.session.name())); }},
    {VI_ATTR_RSRC_LOCK_STATE,
     [](const InstrumentView& s) {
         // The library's locks, else the instrument's own (another host's
         // client may hold a HiSLIP lock).
         ViAccessMode state = s.session.resource_lock().resource_state();
         ViAccessMode device = VI_NO_LOCK;
         if (state == VI_NO_LOCK && s.session.device()->device_lock_state(device) == VI_SUCCESS)
             state = device;
         return Value::of(Value::u32, state);
     }},
    {VI_ATTR_INTF_TYPE,
     [](const InstrumentView& s) {
         return Value::of(Value::u16,
                          kind_of(s.session.name()) == kUsb ? VI_INTF_USB : VI_INTF_TCPIP);
     }},
    {VI_ATTR_INTF_NUM, [](const InstrumentView& s) { return Value::of(Value::u16, s.board()); }},
    {VI_ATTR_INTF_INST_NAME,
     [](const InstrumentView& s) {
         return Value::str((kind_of(s.session.name()) == kUsb ? "USB" : "TCPIP") +
                           std::to_string(s.board()));
     }},
    {VI_ATTR_RM_SESSION,
     [](const InstrumentView& s) { return Value::of(Value::u32, s.session.resource_manager()); }},
    {VI_ATTR_TMO_VALUE,
     [](const InstrumentView& s) { return Value::of(Value::u32, s.settings.timeout_ms); },
     [](SessionSettings& settings, ViAttrState value) -> ViStatus {
         if (value > 0xFFFFFFFFu)
             return VI_ERROR_NSUP_ATTR_STATE;
         // A USB transfer cannot complete in no time: "immediate" is the
         // shortest timeout this library keeps, 1 ms.
         settings.timeout_ms = value == VI_TMO_IMMEDIATE ? 1 : static_cast<ViUInt32>(value);
         return VI_SUCCESS;
     }},
    {VI_ATTR_MAX_QUEUE_LENGTH,
     [](const InstrumentView& s) { return Value::of(Value::u32, s.settings.max_queue_length); },
     [](SessionSettings& settings, ViAttrState value) -> ViStatus {
         if (value == 0 || value > 0xFFFFFFFFu)
             return VI_ERROR_NSUP_ATTR_STATE;
         settings.max_queue_length = static_cast<ViUInt32>(value);
         return VI_SUCCESS;
     }},
    {VI_ATTR_TRIG_ID,
     [](const InstrumentView&) {
         return Value::of(Value::i16, static_cast<std::uint64_t>(kTriggerSoftware));
     },
     [](SessionSettings&, ViAttrState value) -> ViStatus {
         return static_cast<ViInt16>(value) != kTriggerSoftware || value > 0xFFFFu
                    ? VI_ERROR_NSUP_ATTR_STATE
                    : VI_SUCCESS;
     }},
    {VI_ATTR_TERMCHAR,
     [](const InstrumentView& s) { return Value::of(Value::u8, s.settings.term_char); },
     [](SessionSettings& settings, ViAttrState value) -> ViStatus {
         if (value > 0xFF)
             return VI_ERROR_NSUP_ATTR_STATE;
         settings.term_char = static_cast<std::uint8_t>(value);
         return VI_SUCCESS;
     }},
    SG_BOOLEAN_SETTING(VI_ATTR_TERMCHAR_EN, term_char_enabled),
    SG_BOOLEAN_SETTING(VI_ATTR_SEND_END_EN, send_end),
    SG_BOOLEAN_SETTING(VI_ATTR_SUPPRESS_END_EN, suppress_end),
    SG_BOOLEAN_SETTING(VI_ATTR_FILE_APPEND_EN, file_append),
    {VI_ATTR_IO_PROT,
     [](const InstrumentView& s) { return Value::of(Value::u16, s.settings.io_protocol); },
     [](SessionSettings& settings, ViAttrState value) -> ViStatus {
         // Vendor-specific USBTMC messages are not carried.
         if (value != VI_PROT_NORMAL)
             return VI_ERROR_NSUP_ATTR_STATE;
         settings.io_protocol = VI_PROT_NORMAL;
         return VI_SUCCESS;
     },
     kUsb | kTcpipInstr},
    // On a socket, IEEE 488.2 strings stand for what the wire lacks:
    // viReadSTB sends "*STB?", viAssertTrigger "*TRG".
    {VI_ATTR_IO_PROT,
     [](const InstrumentView& s) { return Value::of(Value::u16, s.settings.io_protocol); },
     [](SessionSettings& settings, ViAttrState value) -> ViStatus {
         if (value != VI_PROT_NORMAL && value != VI_PROT_4882_STRS)
             return VI_ERROR_NSUP_ATTR_STATE;
         settings.io_protocol = static_cast<std::uint16_t>(value);
         return VI_SUCCESS;
     },
     kTcpipSocket},
    {VI_ATTR_RD_BUF_OPER_MODE,
     [](const InstrumentView& s) { return Value::of(Value::u16, s.settings.read_buffer_mode); },
     [](SessionSettings& settings, ViAttrState value) -> ViStatus {
         if (value != VI_FLUSH_ON_ACCESS && value != VI_FLUSH_DISABLE)
             return VI_ERROR_NSUP_ATTR_STATE;
         settings.read_buffer_mode = static_cast<std::uint16_t>(value);
         return VI_SUCCESS;
     }},
    {VI_ATTR_WR_BUF_OPER_MODE,
     [](const InstrumentView& s) { return Value::of(Value::u16, s.settings.write_buffer_mode); },
     [](SessionSettings& settings, ViAttrState value) -> ViStatus {
         if (value != VI_FLUSH_ON_ACCESS && value != VI_FLUSH_WHEN_FULL)
             return VI_ERROR_NSUP_ATTR_STATE;
         settings.write_buffer_mode = static_cast<std::uint16_t>(value);
         return VI_SUCCESS;
     }},
    {VI_ATTR_RD_BUF_SIZE,
     [](const InstrumentView& s) { return Value::of(Value::u32, s.settings.read_buffer_size); }},
    {VI_ATTR_WR_BUF_SIZE,
     [](const InstrumentView& s) { return Value::of(Value::u32, s.settings.write_buffer_size); }},
    {VI_ATTR_MANF_ID,
     [](const InstrumentView& s) { return Value::of(Value::u16, s.usb().vendor_id); }, nullptr,
     kUsb},
    {VI_ATTR_MODEL_CODE,
     [](const InstrumentView& s) { return Value::of(Value::u16, s.usb().product_id); }, nullptr,
     kUsb},
    {VI_ATTR_MANF_NAME, [](const InstrumentView& s) { return Value::str(s.usb().manufacturer); },
     nullptr, kUsb},
    {VI_ATTR_MODEL_NAME, [](const InstrumentView& s) { return Value::str(s.usb().product); },
     nullptr, kUsb},
    {VI_ATTR_USB_SERIAL_NUM, [](const InstrumentView& s) { return Value::str(s.usb().serial); },
     nullptr, kUsb},
    {VI_ATTR_USB_INTFC_NUM,
     [](const InstrumentView& s) { return Value::of(Value::i16, s.usb().interface_number); },
     nullptr, kUsb},
    {VI_ATTR_USB_PROTOCOL,
     [](const InstrumentView& s) { return Value::of(Value::i16, s.usb().interface_protocol); },
     nullptr, kUsb},
    {VI_ATTR_USB_MAX_INTR_SIZE,
     [](const InstrumentView& s) { return Value::of(Value::u16, s.usb().interrupt_packet_size); },
     nullptr, kUsb},
    {VI_ATTR_4882_COMPLIANT,
     [](const InstrumentView& s) {
         return Value::of(Value::u16, s.usb().interface_protocol == 1 ? VI_TRUE : VI_FALSE);
     },
     nullptr, kUsb},
    {VI_ATTR_TCPIP_ADDR, [](const InstrumentView& s) { return Value::str(s.lan().address); },
     nullptr, kTcpip},
    {VI_ATTR_TCPIP_HOSTNAME, [](const InstrumentView& s) { return Value::str(s.lan().hostname); },
     nullptr, kTcpip},
    {VI_ATTR_TCPIP_PORT,
     [](const InstrumentView& s) { return Value::of(Value::u16, s.lan().port); }, nullptr,
     kTcpipSocket},
    {VI_ATTR_TCPIP_DEVICE_NAME,
     [](const InstrumentView& s) { return Value::str(s.lan().device_name); }, nullptr, kTcpipInstr},
    {VI_ATTR_TCPIP_IS_HISLIP,
     [](const InstrumentView& s) {
         return Value::of(Value::u16, s.lan().is_hislip ? VI_TRUE : VI_FALSE);
     },
     nullptr, kTcpipInstr},
    SG_TRANSPORT_ATTRIBUTE(VI_ATTR_TCPIP_NODELAY, kTcpipSocket),
    SG_TRANSPORT_ATTRIBUTE(VI_ATTR_TCPIP_KEEPALIVE, kTcpipSocket),
    // HiSLIP's own; a VXI-11 session's transport has none of them.
    SG_TRANSPORT_ATTRIBUTE(VI_ATTR_TCPIP_HISLIP_OVERLAP_EN, kTcpipInstr),
    SG_TRANSPORT_VALUE(VI_ATTR_TCPIP_HISLIP_VERSION, kTcpipInstr, Value::u32),
    SG_TRANSPORT_VALUE(VI_ATTR_TCPIP_HISLIP_MAX_MESSAGE_KB, kTcpipInstr, Value::u32),
};

#undef SG_BOOLEAN_SETTING
#undef SG_TRANSPORT_ATTRIBUTE
#undef SG_TRANSPORT_VALUE

// The row for `attr` of a resource of kind `kind`, or null.
const Attribute* instrument_attribute(ViAttr attr, unsigned kind) {
    for (const Attribute& a : kInstrumentAttributes) {
        if (a.attr == attr && (a.kinds & kind) != 0)
            return &a;
    }
    return nullptr;
}

// Reads an instrument session attribute; false when there is no such one.
bool instrument_value(const sgvisa::session::InstrumentSession& s, ViAttr attr, Value& v) {
    if (implementation_value(attr, v))
        return true;
    const Attribute* a = instrument_attribute(attr, kind_of(s.name()));
    if (a == nullptr)
        return false;
    ViAttrState kept = 0;
    if (a->kept_by_transport && s.device()->transport_attribute(attr, kept) == VI_ERROR_NSUP_ATTR)
        return false;  // not this transport's (a VXI-11 session's HiSLIP attributes)
    const SessionSettings settings = s.settings();
    v = a->get({s, settings, s.device()->facts()});
    return true;
}

// Sets an instrument session attribute.
ViStatus set_instrument_value(sgvisa::session::InstrumentSession& s, ViAttr attr,
                              ViAttrState value) {
    Value implementation;
    if (implementation_value(attr, implementation))
        return VI_ERROR_ATTR_READONLY;
    const Attribute* a = instrument_attribute(attr, kind_of(s.name()));
    if (a == nullptr)
        return VI_ERROR_NSUP_ATTR;
    if (a->kept_by_transport)
        return s.device()->set_transport_attribute(attr, value);
    if (a->set == nullptr)
        return VI_ERROR_ATTR_READONLY;
    return s.change_settings([&](SessionSettings& settings) {
        const ViStatus applied = a->set(settings, value);
        if (applied == VI_SUCCESS && attr == VI_ATTR_MAX_QUEUE_LENGTH)
            s.events().set_queue_length(settings.max_queue_length);
        return applied;
    });
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
