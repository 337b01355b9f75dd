#include "core/base64.hpp"

#include <openssl/evp.h>

namespace pelorn::base64 {

namespace {

bool isAlphabet(char c) {
    return (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '+' || c == '/';
}

// OpenSSL's decoder tolerates white space and loose padding, so the form is checked first.
std::optional<size_t> paddingIfWellFormed(std::string_view text) {
    if (text.size() % 4 != 0) {
        return std::nullopt;
    }
    size_t padding = 0;
    if (!text.empty() && text.back() == '=') {
        padding = text[text.size() - 2] == '=' ? 2 : 1;
    }
    for (size_t i = 0; i < text.size() - padding; ++i) {
        if (!isAlphabet(text[i])) {
            return std::nullopt;
        }
    }
    return padding;
}

} // namespace

std::string encode(std::span<const std::uint8_t> bytes) {
    std::string out(4 * ((bytes.size() + 2) / 3) + 1, '\0');
    int n = EVP_EncodeBlock(reinterpret_cast<unsigned char*>(out.data()), bytes.data(),
                            static_cast<int>(bytes.size()));
    out.resize(static_cast<size_t>(n));
    return out;
}

std::string encode(std::string_view bytes) {
    return encode(std::span(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size()));
}

std::optional<std::vector<std::uint8_t>> decode(std::string_view text) {
    auto padding = paddingIfWellFormed(text);
    if (!padding) {
        return std::nullopt;
    }
    std::vector<std::uint8_t> out(3 * (text.size() / 4) + 1);
    int n = EVP_DecodeBlock(out.data(), reinterpret_cast<const unsigned char*>(text.data()),
                            static_cast<int>(text.size()));
    if (n < 0) {
        return std::nullopt;
    }
    out.resize(static_cast<size_t>(n) - *padding);
    return out;
}

std::string encodeUrl(std::span<const std::uint8_t> bytes) {
    std::string out = encode(bytes);
    while (!out.empty() && out.back() == '=') {
        out.pop_back();
    }
    for (char& c : out) {
        c = c == '+' ? '-' : c == '/' ? '_' : c;
    }
    return out;
}

std::optional<std::vector<std::uint8_t>> decodeUrl(std::string_view text) {
    if (text.size() % 4 == 1) {
        return std::nullopt;
    }
    std::string standard(text);
    for (char& c : standard) {
        if (c == '+' || c == '/' || c == '=') {
            return std::nullopt;
        }
        c = c == '-' ? '+' : c == '_' ? '/' : c;
    }
    standard.append((4 - standard.size() % 4) % 4, '=');
    return decode(standard);
}

} // namespace pelorn::base64
