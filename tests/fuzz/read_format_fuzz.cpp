// Fuzz target: formatted input (viScanf/viQueryf). The input is a read
// format, a NUL byte, a byte of flags, and the reply the instrument sends;
// the reply may end with END (flag bit 0) or stop short of it (the source
// then times out). Every target gets a buffer of 16 bytes (the widest
// element) per byte of the reply, and every '#' count says a capacity the
// flags give (bits 1-7); as each stored element or character takes at least
// one byte of the reply, nothing can be stored past a buffer: any write past
// one is the engine's fault, and so is a count told beyond its capacity.
#include <cstdarg>
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <string>
#include <string_view>
#include <vector>

#include "format/format_reader.h"

namespace {

constexpr int kTargets = 32;

class ReplySource final : public sgvisa::format::ReadSource {
  public:
    ReplySource(std::string_view reply, bool end) : reply_(reply), end_(end) {}

    ViStatus peek(std::uint8_t& byte, bool& end_of_message) override {
        end_of_message = false;
        if (pos_ < reply_.size()) {
            byte = static_cast<std::uint8_t>(reply_[pos_]);
            return VI_SUCCESS;
        }
        if (!end_)
            return VI_ERROR_TMO;
        end_of_message = true;
        return VI_SUCCESS;
    }
    void consume() override {
        if (pos_ >= reply_.size())
            std::abort();  // consumed a byte no peek returned
        ++pos_;
    }
    ViStatus discard_rest() override {
        pos_ = reply_.size();
        return end_ ? VI_SUCCESS : VI_ERROR_TMO;
    }

  private:
    std::string_view reply_;
    bool end_;
    std::size_t pos_ = 0;
};

ViStatus prepare(sgvisa::format::ReadFormat* out, const char* format, ...) {
    std::va_list args;
    va_start(args, format);
    const ViStatus st = sgvisa::format::prepare_read(format, &args, *out);
    va_end(args);
    return st;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const char* text = reinterpret_cast<const char*>(data);
    const void* nul = std::memchr(data, 0, size);
    if (nul == nullptr)
        return 0;
    const std::size_t format_len = static_cast<std::size_t>(static_cast<const char*>(nul) - text);
    if (size < format_len + 2)
        return 0;
    const std::string format(text, format_len);
    // More directives than targets would make prepare_read take arguments
    // that were never passed.
    int percents = 0;
    for (char c : format)
        percents += c == '%';
    // A '#' directive takes two arguments.
    if (2 * percents > kTargets)
        return 0;
    const bool end = (data[format_len + 1] & 1) != 0;
    const int capacity = data[format_len + 1] >> 1;
    const std::string_view reply(text + format_len + 2, size - format_len - 2);

    // Aligned for any numeric target; the canary after the reply length
    // catches a string stored beyond it.
    const std::size_t target_size = 16 * (reply.size() + 1) + sizeof(long double);
    const std::size_t slots = (target_size + 64 + sizeof(long double) - 1) / sizeof(long double);
    std::vector<std::vector<long double>> targets(kTargets, std::vector<long double>(slots));
    void* t[kTargets];
    for (int i = 0; i < kTargets; ++i) {
        std::memset(targets[i].data(), 0x5A, slots * sizeof(long double));
        std::memcpy(targets[i].data(), &capacity, sizeof capacity);
        t[i] = targets[i].data();
    }

    sgvisa::format::ReadFormat parsed;
    const ViStatus st =
        prepare(&parsed, format.c_str(), t[0], t[1], t[2], t[3], t[4], t[5], t[6], t[7], t[8], t[9],
                t[10], t[11], t[12], t[13], t[14], t[15], t[16], t[17], t[18], t[19], t[20], t[21],
                t[22], t[23], t[24], t[25], t[26], t[27], t[28], t[29], t[30], t[31]);
    if (st != VI_SUCCESS)
        return 0;
    ReplySource source(reply, end);
    int assigned = 0;
    sgvisa::format::read_message(parsed, source, assigned);
    if (assigned < 0 || assigned > kTargets)
        std::abort();
    // Every string target is terminated within the reply's length, and
    // nothing was written past it.
    for (const auto& d : parsed) {
        if (d.kind != sgvisa::format::ReadDirective::Kind::conversion || d.target == nullptr)
            continue;
        if (d.count != nullptr && (*d.count < 0 || *d.count > capacity))
            std::abort();
        const char* s = static_cast<const char*>(d.target);
        if (d.conversion == 's' || d.conversion == 't' || d.conversion == 'T' ||
            d.conversion == '[') {
            if (std::memchr(s, '\0', reply.size() + 1) == nullptr)
                std::abort();
        }
    }
    for (int i = 0; i < kTargets; ++i) {
        const auto* bytes = reinterpret_cast<const unsigned char*>(targets[i].data());
        for (std::size_t b = target_size; b < slots * sizeof(long double); ++b)
            if (bytes[b] != 0x5A)
                std::abort();
    }
    return 0;
}
