// A VISA call's arguments as its trace line shows them: name=value pairs,
// strings escaped, buffers as their count and first bytes, what output
// pointers hold after the call (NULL for a null pointer). Reads no further
// than VISA says the caller's memory holds.
#pragma once

#include <cstdint>
#include <string>
#include <type_traits>

#include "trace/trace_text.h"
#include "visa.h"

namespace sgvisa::api {

class CallArgs {
  public:
    // `status` is the call's: output strings are shown only when it filled them.
    explicit CallArgs(ViStatus status) : status_(status) {}

    // A session or other object; the first one named is the call's session.
    CallArgs& obj(const char* name, ViObject value) {
        if (session_ == VI_NULL)
            session_ = value;
        return hex(name, value);
    }
    CallArgs& hex(const char* name, std::uint64_t value) {
        trace::append_hex(next(name), value);
        return *this;
    }
    CallArgs& num(const char* name, std::int64_t value) {
        trace::append_signed(next(name), value);
        return *this;
    }
    CallArgs& str(const char* name, const char* value) {
        trace::append_string(next(name), value);
        return *this;
    }
    CallArgs& buf(const char* name, const void* data, std::uint64_t count) {
        trace::append_buffer(next(name), data, count);
        return *this;
    }
    // What an output pointer holds after the call.
    template <typename T>
    CallArgs& out(const char* name, const T* value) {
        static_assert(std::is_integral_v<T>);
        std::string& text = next(name);
        if (value == nullptr)
            text += "NULL";
        else if constexpr (std::is_signed_v<T>)
            trace::append_signed(text, *value);
        else
            trace::append_unsigned(text, *value);
        return *this;
    }
    template <typename T>
    CallArgs& out_hex(const char* name, const T* value) {
        if (value == nullptr)
            next(name) += "NULL";
        else
            hex(name, static_cast<std::uint64_t>(*value));
        return *this;
    }
    // An output string of the call (a buffer of at least 256 characters, as
    // VISA has it), shown only when the call filled it.
    CallArgs& out_str(const char* name, const char* value) {
        if (status_ < 0 && value != nullptr)
            next(name) += "(not set)";
        else
            str(name, value);
        return *this;
    }

    // What a failure's reason is looked up by (with the session): the
    // resource the call opens.
    CallArgs& on_resource(const char* name) {
        resource_ = name;
        return *this;
    }

    const std::string& text() const { return text_; }
    ViObject session() const { return session_; }
    const char* resource() const { return resource_; }

  private:
    std::string& next(const char* name) {
        if (!text_.empty())
            text_ += ", ";
        text_ += name;
        text_ += '=';
        return text_;
    }

    ViStatus status_;
    std::string text_;
    ViObject session_ = VI_NULL;
    const char* resource_ = nullptr;
};

}  // namespace sgvisa::api
