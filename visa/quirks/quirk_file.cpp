#include "quirks/quirk_file.h"

#include <fcntl.h>
#include <unistd.h>

#include <cerrno>
#include <charconv>
#include <cstring>

#include "quirks/quirk_words.h"

namespace sgvisa::quirks {
namespace {

constexpr std::size_t kMaxFileSize = 1 << 20;

bool is_blank(char c) {
    return c == ' ' || c == '\t' || c == '\r';
}

// The next blank-separated word of `line`, taken off its front.
std::string_view next_word(std::string_view& line) {
    while (!line.empty() && is_blank(line.front()))
        line.remove_prefix(1);
    std::size_t n = 0;
    while (n < line.size() && !is_blank(line[n]))
        ++n;
    const std::string_view word = line.substr(0, n);
    line.remove_prefix(n);
    return word;
}

bool parse_id(std::string_view text, std::uint16_t& id) {
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X'))
        text.remove_prefix(2);
    if (text.empty() || text.size() > 4)
        return false;
    const auto [end, ec] = std::from_chars(text.data(), text.data() + text.size(), id, 16);
    return ec == std::errc() && end == text.data() + text.size();
}

// One line's entry; false with `why` when it is bad, and false with `why`
// empty when it holds nothing.
bool parse_line(std::string_view line, QuirkEntry& entry, std::string& why) {
    line = line.substr(0, line.find('#'));
    const std::string_view ids = next_word(line);
    if (ids.empty())
        return false;
    const std::size_t colon = ids.find(':');
    if (colon == std::string_view::npos || !parse_id(ids.substr(0, colon), entry.vendor_id) ||
        !parse_id(ids.substr(colon + 1), entry.product_id)) {
        why = "\"" + std::string(ids) +
              "\" is not a USB vendor:product ID pair such as 0x1234:0x5678";
        return false;
    }
    for (std::string_view word = next_word(line); !word.empty(); word = next_word(line)) {
        if (!apply_quirk_word(word, entry.quirks, why))
            return false;
    }
    return true;
}

}  // namespace

std::vector<QuirkEntry> parse_quirk_text(
    std::string_view text, const std::function<void(int line, const std::string& why)>& bad_line) {
    std::vector<QuirkEntry> entries;
    int number = 0;
    while (!text.empty()) {
        const std::size_t nl = text.find('\n');
        const std::string_view line = text.substr(0, nl);
        text.remove_prefix(nl == std::string_view::npos ? text.size() : nl + 1);
        ++number;
        QuirkEntry entry;
        std::string why;
        if (parse_line(line, entry, why))
            entries.push_back(entry);
        else if (!why.empty())
            bad_line(number, why);
    }
    return entries;
}

std::vector<QuirkEntry> read_quirk_file(const std::string& path, std::FILE* messages) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        if (errno != ENOENT && errno != ENOTDIR)
            std::fprintf(messages, "sgvisa: %s: cannot be read (%s); ignored\n", path.c_str(),
                         std::strerror(errno));
        return {};
    }
    std::string text;
    char chunk[4096];
    ssize_t n = 0;
    while (text.size() < kMaxFileSize && (n = ::read(fd, chunk, sizeof chunk)) != 0) {
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            break;
        text.append(chunk, static_cast<std::size_t>(n));
    }
    const int read_errno = n < 0 ? errno : 0;
    ::close(fd);
    if (read_errno != 0) {
        std::fprintf(messages, "sgvisa: %s: cannot be read (%s); ignored\n", path.c_str(),
                     std::strerror(read_errno));
        return {};
    }
    text.resize(std::min(text.size(), kMaxFileSize));
    return parse_quirk_text(text, [&](int line, const std::string& why) {
        std::fprintf(messages, "sgvisa: %s:%d: %s; line ignored\n", path.c_str(), line,
                     why.c_str());
    });
}

}  // namespace sgvisa::quirks
