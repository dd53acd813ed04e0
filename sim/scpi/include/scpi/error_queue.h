// The SCPI error/event queue of the simulated generator and the standard
// SCPI error codes it reports.
#pragma once

#include <cstddef>
#include <deque>
#include <string>
#include <string_view>

namespace sgsim {

namespace scpi_error {
inline constexpr int kNoError = 0;
// Command errors (IEEE 488.2 CME).
inline constexpr int kCommandError = -100;
inline constexpr int kInvalidCharacter = -101;
inline constexpr int kSyntaxError = -102;
inline constexpr int kInvalidSeparator = -103;
inline constexpr int kDataTypeError = -104;
inline constexpr int kParameterNotAllowed = -108;
inline constexpr int kMissingParameter = -109;
inline constexpr int kProgramMnemonicTooLong = -112;
inline constexpr int kUndefinedHeader = -113;
inline constexpr int kHeaderSuffixOutOfRange = -114;
inline constexpr int kNumericDataError = -120;
inline constexpr int kInvalidCharacterInNumber = -121;
inline constexpr int kExponentTooLarge = -123;
inline constexpr int kInvalidSuffix = -131;
inline constexpr int kSuffixTooLong = -134;
inline constexpr int kSuffixNotAllowed = -138;
inline constexpr int kCharacterDataTooLong = -144;
inline constexpr int kInvalidStringData = -151;
inline constexpr int kBlockDataNotAllowed = -168;
// Execution errors (IEEE 488.2 EXE).
inline constexpr int kDataOutOfRange = -222;
inline constexpr int kTooMuchData = -223;
inline constexpr int kIllegalParameterValue = -224;
inline constexpr int kOutOfMemory = -225;
// Device-specific errors (IEEE 488.2 DDE).
inline constexpr int kQueueOverflow = -350;
// Query errors (IEEE 488.2 QYE).
inline constexpr int kQueryInterrupted = -410;
inline constexpr int kQueryUnterminated = -420;

// The standard text for `code` ("Undefined header"...), or "Unknown error"
// for a code this instrument does not define.
std::string_view text(int code);
}  // namespace scpi_error

struct ErrorEntry {
    int code = scpi_error::kNoError;
    std::string_view text;  // one of the static texts of scpi_error::text
};

// A bounded FIFO of errors, oldest first. An error that finds the queue full
// is discarded and the newest entry is replaced by -350 "Queue overflow", so
// the oldest errors are kept and the overflow shows as the last entry.
class ErrorQueue {
  public:
    static constexpr std::size_t kDefaultCapacity = 16;

    // A capacity below 2 is taken as 2.
    explicit ErrorQueue(std::size_t capacity = kDefaultCapacity);

    void push(int code);
    // Removes and returns the oldest entry; {0, "No error"} when empty.
    ErrorEntry pop();
    void clear() { entries_.clear(); }

    bool empty() const { return entries_.empty(); }
    std::size_t size() const { return entries_.size(); }
    std::size_t capacity() const { return capacity_; }

  private:
    std::size_t capacity_;
    std::deque<ErrorEntry> entries_;
};

// The SYSTem:ERRor? response for `entry`: <code>,"<text>".
std::string format_error(const ErrorEntry& entry);

}  // namespace sgsim
