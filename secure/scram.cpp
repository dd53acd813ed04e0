#include "scram.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/hmac.h>
#include <openssl/rand.h>
#include <openssl/sha.h>

namespace sgsecure::scram {

std::string base64(const Bytes& b) {
    std::string out(4 * ((b.size() + 2) / 3) + 1, '\0');
    const int n = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(out.data()), b.data(),
                                  static_cast<int>(b.size()));
    out.resize(n > 0 ? static_cast<std::size_t>(n) : 0);
    return out;
}

std::optional<Bytes> unbase64(std::string_view text) {
    if (text.size() % 4 != 0)
        return std::nullopt;
    Bytes out(text.size() / 4 * 3 + 1);
    const int n = EVP_DecodeBlock(out.data(), reinterpret_cast<const unsigned char*>(text.data()),
                                  static_cast<int>(text.size()));
    if (n < 0)
        return std::nullopt;
    // EVP_DecodeBlock counts the padding as zero bytes: take them off.
    std::size_t len = static_cast<std::size_t>(n);
    for (std::size_t i = text.size(); i > 0 && text[i - 1] == '=' && len > 0; --i)
        --len;
    out.resize(len);
    return out;
}

Bytes bytes_of(std::string_view s) {
    return Bytes(s.begin(), s.end());
}

Bytes random_bytes(std::size_t n) {
    Bytes b(n);
    if (RAND_bytes(b.data(), static_cast<int>(n)) != 1)
        return {};  // no randomness: the caller's nonce check refuses
    return b;
}

std::string random_text(std::size_t n) {
    const Bytes b = random_bytes(n);
    return b.empty() ? std::string() : base64(b);
}

Bytes hmac(const Bytes& key, std::string_view text) {
    Bytes out(EVP_MAX_MD_SIZE);
    unsigned int n = 0;
    HMAC(EVP_sha256(), key.data(), static_cast<int>(key.size()),
         reinterpret_cast<const unsigned char*>(text.data()), text.size(), out.data(), &n);
    out.resize(n);
    return out;
}

Bytes sha256(const Bytes& data) {
    Bytes out(SHA256_DIGEST_LENGTH);
    SHA256(data.data(), data.size(), out.data());
    return out;
}

bool same(const Bytes& a, const Bytes& b) {
    return a.size() == b.size() && !a.empty() && CRYPTO_memcmp(a.data(), b.data(), a.size()) == 0;
}

Keys derive_keys(std::string_view password, const Bytes& salt, unsigned iterations) {
    Bytes salted(SHA256_DIGEST_LENGTH);
    PKCS5_PBKDF2_HMAC(password.data(), static_cast<int>(password.size()), salt.data(),
                      static_cast<int>(salt.size()), static_cast<int>(iterations), EVP_sha256(),
                      static_cast<int>(salted.size()), salted.data());
    Keys k;
    k.client_key = hmac(salted, "Client Key");
    k.stored_key = sha256(k.client_key);
    k.server_key = hmac(salted, "Server Key");
    OPENSSL_cleanse(salted.data(), salted.size());
    return k;
}

std::string escape_name(std::string_view name) {
    std::string out;
    for (char c : name) {
        if (c == '=')
            out += "=3D";
        else if (c == ',')
            out += "=2C";
        else
            out += c;
    }
    return out;
}

std::optional<std::string> unescape_name(std::string_view text) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] != '=') {
            out += text[i];
            continue;
        }
        const std::string_view code = text.substr(i + 1, 2);
        if (code == "3D")
            out += '=';
        else if (code == "2C")
            out += ',';
        else
            return std::nullopt;
        i += 2;
    }
    return out;
}

std::optional<std::string> attribute(std::string_view field, char key) {
    if (field.size() < 2 || field[0] != key || field[1] != '=')
        return std::nullopt;
    return std::string(field.substr(2));
}

std::vector<std::string_view> fields(std::string_view text) {
    std::vector<std::string_view> out;
    for (;;) {
        const std::size_t comma = text.find(',');
        out.push_back(text.substr(0, comma));
        if (comma == std::string_view::npos)
            return out;
        text.remove_prefix(comma + 1);
    }
}

bool acceptable(std::string_view text, const char* what, bool may_be_empty, std::string& why) {
    if (text.empty() && !may_be_empty) {
        why = std::string(what) + " is empty";
        return false;
    }
    if (text.size() > 255) {
        why = std::string(what) + " is longer than 255 octets";
        return false;
    }
    for (std::size_t i = 0; i < text.size();) {
        const auto c = static_cast<unsigned char>(text[i]);
        std::size_t len = c < 0x80           ? 1
                          : (c >> 5) == 0x6  ? 2
                          : (c >> 4) == 0xE  ? 3
                          : (c >> 3) == 0x1E ? 4
                                             : 0;
        if (len == 0 || i + len > text.size()) {
            why = std::string(what) + " is not UTF-8";
            return false;
        }
        std::uint32_t cp = len == 1 ? c : c & (0x7F >> len);
        for (std::size_t k = 1; k < len; ++k) {
            const auto t = static_cast<unsigned char>(text[i + k]);
            if ((t & 0xC0) != 0x80) {
                why = std::string(what) + " is not UTF-8";
                return false;
            }
            cp = cp << 6 | (t & 0x3F);
        }
        static const std::uint32_t kLeast[] = {0, 0, 0x80, 0x800, 0x10000};
        if (cp < kLeast[len] || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) {
            why = std::string(what) + " is not UTF-8";
            return false;
        }
        if (cp < 0x20 || (cp >= 0x7F && cp <= 0x9F)) {
            why = std::string(what) + " holds a control character";
            return false;
        }
        i += len;
    }
    return true;
}

}  // namespace sgsecure::scram
