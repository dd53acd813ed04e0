#include "proto/dns.h"

#include <algorithm>

namespace sgproto::dns {
namespace {

constexpr std::uint16_t kTopBit = 0x8000;
constexpr std::uint8_t kPointer = 0xC0;
constexpr std::size_t kMaxCount = 0xFFFF;

void put16(Bytes& out, std::uint16_t v) {
    out.push_back(static_cast<std::uint8_t>(v >> 8));
    out.push_back(static_cast<std::uint8_t>(v));
}

void put32(Bytes& out, std::uint32_t v) {
    put16(out, static_cast<std::uint16_t>(v >> 16));
    put16(out, static_cast<std::uint16_t>(v));
}

// The labels of a name as text, escapes undone.
bool split_name(std::string_view name, std::vector<std::string>& labels) {
    labels.assign(1, {});
    for (std::size_t i = 0; i < name.size(); ++i) {
        const char c = name[i];
        if (c == '\\' && i + 1 < name.size())
            labels.back() += name[++i];
        else if (c == '.')
            labels.emplace_back();
        else
            labels.back() += c;
    }
    if (labels.size() == 1 && labels[0].empty())
        labels.clear();  // the root
    return true;
}

bool put_name(Bytes& out, std::string_view name) {
    std::vector<std::string> labels;
    split_name(name, labels);
    std::size_t total = 1;
    for (const auto& label : labels) {
        if (label.empty() || label.size() > kMaxLabel)
            return false;
        total += 1 + label.size();
        out.push_back(static_cast<std::uint8_t>(label.size()));
        out.insert(out.end(), label.begin(), label.end());
    }
    out.push_back(0);
    return total <= kMaxName;
}

bool put_record(Bytes& out, const Record& r) {
    if (!put_name(out, r.name))
        return false;
    put16(out, r.type);
    put16(out, static_cast<std::uint16_t>((r.klass & ~kTopBit) | (r.cache_flush ? kTopBit : 0)));
    put32(out, r.ttl);
    const std::size_t length_at = out.size();
    put16(out, 0);
    switch (r.type) {
        case PTR:
            if (!put_name(out, r.target))
                return false;
            break;
        case SRV:
            put16(out, r.priority);
            put16(out, r.weight);
            put16(out, r.port);
            if (!put_name(out, r.target))
                return false;
            break;
        case A:
            out.insert(out.end(), r.address.begin(), r.address.end());
            break;
        case TXT:
            for (const auto& s : r.text) {
                if (s.size() > 255)
                    return false;
                out.push_back(static_cast<std::uint8_t>(s.size()));
                out.insert(out.end(), s.begin(), s.end());
            }
            if (r.text.empty())
                out.push_back(0);  // a TXT record holds at least one string
            break;
        default:
            out.insert(out.end(), r.data.begin(), r.data.end());
            break;
    }
    const std::size_t length = out.size() - length_at - 2;
    if (length > 0xFFFF)
        return false;
    out[length_at] = static_cast<std::uint8_t>(length >> 8);
    out[length_at + 1] = static_cast<std::uint8_t>(length);
    return true;
}

// Reads from a whole message; every read checks the bytes are there.
class Reader {
  public:
    explicit Reader(ByteView in) : in_(in) {}

    bool u16(std::uint16_t& v) {
        if (in_.size() - pos_ < 2)
            return false;
        v = static_cast<std::uint16_t>(in_[pos_] << 8 | in_[pos_ + 1]);
        pos_ += 2;
        return true;
    }
    bool u32(std::uint32_t& v) {
        std::uint16_t hi = 0, lo = 0;
        if (!u16(hi) || !u16(lo))
            return false;
        v = std::uint32_t{hi} << 16 | lo;
        return true;
    }

    // A name at the reader's position; the reader moves past its first
    // pointer or its end. Each pointer goes to an earlier offset than the
    // one it was read at, so the walk ends within the message's length.
    bool name(std::string& out) {
        out.clear();
        std::size_t at = pos_;
        std::size_t wire = 1;
        bool jumped = false;
        for (;;) {
            if (at >= in_.size())
                return false;
            const std::uint8_t len = in_[at];
            if ((len & kPointer) == kPointer) {
                if (at + 1 >= in_.size())
                    return false;
                const std::size_t target = (std::size_t{len} & 0x3F) << 8 | in_[at + 1];
                if (target >= at)
                    return false;
                if (!jumped)
                    pos_ = at + 2;
                jumped = true;
                at = target;
                continue;
            }
            if ((len & kPointer) != 0)
                return false;  // the reserved label types
            if (len == 0) {
                if (!jumped)
                    pos_ = at + 1;
                return true;
            }
            wire += 1 + len;
            if (wire > kMaxName || in_.size() - at - 1 < len)
                return false;
            if (!out.empty())
                out += '.';
            out += escape_label(
                std::string_view(reinterpret_cast<const char*>(in_.data() + at + 1), len));
            at += 1 + len;
        }
    }

    std::size_t pos() const { return pos_; }
    std::size_t left() const { return in_.size() - pos_; }
    ByteView take(std::size_t n) {
        const ByteView v = in_.subspan(pos_, n);
        pos_ += n;
        return v;
    }

  private:
    ByteView in_;
    std::size_t pos_ = 0;
};

bool read_record(Reader& r, Record& out) {
    std::uint16_t klass = 0, length = 0;
    if (!r.name(out.name) || !r.u16(out.type) || !r.u16(klass) || !r.u32(out.ttl) ||
        !r.u16(length) || r.left() < length)
        return false;
    out.klass = klass & ~kTopBit;
    out.cache_flush = (klass & kTopBit) != 0;
    const std::size_t end = r.pos() + length;
    switch (out.type) {
        case PTR:
            if (!r.name(out.target))
                return false;
            break;
        case SRV:
            if (!r.u16(out.priority) || !r.u16(out.weight) || !r.u16(out.port) ||
                !r.name(out.target))
                return false;
            break;
        case A: {
            if (length != 4)
                return false;
            const ByteView a = r.take(4);
            std::copy(a.begin(), a.end(), out.address.begin());
            break;
        }
        case TXT: {
            ByteView rest = r.take(length);
            while (!rest.empty()) {
                const std::size_t n = rest[0];
                if (rest.size() - 1 < n)
                    return false;
                out.text.emplace_back(reinterpret_cast<const char*>(rest.data() + 1), n);
                rest = rest.subspan(1 + n);
            }
            break;
        }
        default: {
            const ByteView d = r.take(length);
            out.data.assign(d.begin(), d.end());
            break;
        }
    }
    return r.pos() == end;
}

}  // namespace

bool encode(const Message& m, Bytes& out) {
    out.clear();
    if (m.questions.size() > kMaxCount || m.answers.size() > kMaxCount ||
        m.authorities.size() > kMaxCount || m.additionals.size() > kMaxCount)
        return false;
    put16(out, m.id);
    put16(out, m.flags);
    put16(out, static_cast<std::uint16_t>(m.questions.size()));
    put16(out, static_cast<std::uint16_t>(m.answers.size()));
    put16(out, static_cast<std::uint16_t>(m.authorities.size()));
    put16(out, static_cast<std::uint16_t>(m.additionals.size()));
    for (const Question& q : m.questions) {
        if (!put_name(out, q.name))
            return false;
        put16(out, q.type);
        put16(out, static_cast<std::uint16_t>((q.klass & ~kTopBit) |
                                              (q.unicast_response ? kTopBit : 0)));
    }
    for (const auto* section : {&m.answers, &m.authorities, &m.additionals})
        for (const Record& r : *section)
            if (!put_record(out, r))
                return false;
    return true;
}

bool decode(ByteView in, Message& out) {
    out = Message{};
    Reader r(in);
    std::uint16_t counts[4] = {};
    if (!r.u16(out.id) || !r.u16(out.flags))
        return false;
    for (auto& c : counts)
        if (!r.u16(c))
            return false;
    for (std::uint16_t i = 0; i < counts[0]; ++i) {
        Question q;
        std::uint16_t klass = 0;
        if (!r.name(q.name) || !r.u16(q.type) || !r.u16(klass))
            return false;
        q.klass = klass & ~kTopBit;
        q.unicast_response = (klass & kTopBit) != 0;
        out.questions.push_back(std::move(q));
    }
    std::vector<Record>* sections[] = {&out.answers, &out.authorities, &out.additionals};
    for (int s = 0; s < 3; ++s) {
        for (std::uint16_t i = 0; i < counts[s + 1]; ++i) {
            Record rec;
            if (!read_record(r, rec))
                return false;
            sections[s]->push_back(std::move(rec));
        }
    }
    return true;
}

bool same_name(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               auto fold = [](char c) { return c >= 'A' && c <= 'Z' ? char(c + 32) : c; };
               return fold(x) == fold(y);
           });
}

std::string escape_label(std::string_view label) {
    std::string out;
    for (const char c : label) {
        if (c == '.' || c == '\\')
            out += '\\';
        out += c;
    }
    return out;
}

std::string first_label(std::string_view name) {
    std::string out;
    for (std::size_t i = 0; i < name.size(); ++i) {
        if (name[i] == '\\' && i + 1 < name.size())
            out += name[++i];
        else if (name[i] == '.')
            break;
        else
            out += name[i];
    }
    return out;
}

}  // namespace sgproto::dns
