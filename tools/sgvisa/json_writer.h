// Output for scripts (--json): a JSON value built up field by field and
// written as one document.
#pragma once

#include <string>
#include <string_view>

namespace sgvisa_tool {

// `text` as a JSON string, quotes included. Bytes that are not valid UTF-8
// are written as \u00XX of the byte (Latin-1), so the document always parses.
std::string json_string(std::string_view text);

// Writes an object or array with commas and nesting taken care of.
class JsonWriter {
  public:
    void begin_object() { open('{'); }
    void end_object() { close('}'); }
    void begin_array() { open('['); }
    void end_array() { close(']'); }
    // The key of the next value inside an object.
    JsonWriter& key(std::string_view name);
    void string(std::string_view value);
    void number(long long value);
    void boolean(bool value);
    void null();

    const std::string& text() const { return out_; }

  private:
    void open(char bracket);
    void close(char bracket);
    void separate();
    std::string out_;
    bool first_ = true;  // nothing written yet in the innermost object or array
    bool after_key_ = false;
};

}  // namespace sgvisa_tool
