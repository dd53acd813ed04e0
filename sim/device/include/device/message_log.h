// The simulator's record of what it received (--log FILE): every complete
// message, one line each, as received without its final linefeed. Other
// control bytes and the backslash are written as \xHH, so one message is
// always one line. Each line is written and flushed as its message arrives.
#pragma once

#include <string>
#include <string_view>

namespace sgsim {

class MessageLog {
  public:
    MessageLog() = default;
    ~MessageLog();
    MessageLog(const MessageLog&) = delete;
    MessageLog& operator=(const MessageLog&) = delete;

    // Creates or truncates `path`. False, with a message in `error`, on failure.
    bool open(const std::string& path, std::string& error);

    // Appends one message; a write failure is reported once on standard error.
    void record(std::string_view message);
    // Appends `line` as it is, with a line end; failures as record().
    void write_line(std::string_view line);

  private:
    int fd_ = -1;
    bool failed_ = false;
};

// The log line of `message` (without the line end).
std::string log_line(std::string_view message);

}  // namespace sgsim
