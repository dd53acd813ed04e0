#include "scpi/error_queue.h"

#include <algorithm>

namespace sgsim {

namespace scpi_error {

std::string_view text(int code) {
    switch (code) {
        case kNoError:
            return "No error";
        case kCommandError:
            return "Command error";
        case kInvalidCharacter:
            return "Invalid character";
        case kSyntaxError:
            return "Syntax error";
        case kInvalidSeparator:
            return "Invalid separator";
        case kDataTypeError:
            return "Data type error";
        case kParameterNotAllowed:
            return "Parameter not allowed";
        case kMissingParameter:
            return "Missing parameter";
        case kProgramMnemonicTooLong:
            return "Program mnemonic too long";
        case kUndefinedHeader:
            return "Undefined header";
        case kHeaderSuffixOutOfRange:
            return "Header suffix out of range";
        case kNumericDataError:
            return "Numeric data error";
        case kInvalidCharacterInNumber:
            return "Invalid character in number";
        case kExponentTooLarge:
            return "Exponent too large";
        case kInvalidSuffix:
            return "Invalid suffix";
        case kSuffixTooLong:
            return "Suffix too long";
        case kSuffixNotAllowed:
            return "Suffix not allowed";
        case kCharacterDataTooLong:
            return "Character data too long";
        case kInvalidStringData:
            return "Invalid string data";
        case kBlockDataNotAllowed:
            return "Block data not allowed";
        case kDataOutOfRange:
            return "Data out of range";
        case kTooMuchData:
            return "Too much data";
        case kIllegalParameterValue:
            return "Illegal parameter value";
        case kOutOfMemory:
            return "Out of memory";
        case kQueueOverflow:
            return "Queue overflow";
        case kQueryInterrupted:
            return "Query INTERRUPTED";
        case kQueryUnterminated:
            return "Query UNTERMINATED";
        default:
            return "Unknown error";
    }
}

}  // namespace scpi_error

ErrorQueue::ErrorQueue(std::size_t capacity) : capacity_(std::max<std::size_t>(capacity, 2)) {}

void ErrorQueue::push(int code) {
    if (code == scpi_error::kNoError) {
        return;
    }
    if (entries_.size() < capacity_) {
        entries_.push_back({code, scpi_error::text(code)});
    } else {
        // Overflow: the oldest errors stay; the newest entry becomes the marker.
        entries_.back() = {scpi_error::kQueueOverflow,
                           scpi_error::text(scpi_error::kQueueOverflow)};
    }
}

ErrorEntry ErrorQueue::pop() {
    if (entries_.empty()) {
        return {scpi_error::kNoError, scpi_error::text(scpi_error::kNoError)};
    }
    ErrorEntry entry = entries_.front();
    entries_.pop_front();
    return entry;
}

std::string format_error(const ErrorEntry& entry) {
    std::string out = std::to_string(entry.code);
    out += ",\"";
    for (char c : entry.text) {
        out += c;
        if (c == '"') {
            out += '"';  // string response data doubles an embedded quote
        }
    }
    out += '"';
    return out;
}

}  // namespace sgsim
