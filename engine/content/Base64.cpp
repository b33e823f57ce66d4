#include "engine/content/Base64.h"

#include <array>

namespace pf {

namespace {

constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
constexpr std::uint8_t kInvalid = 0xff;

constexpr std::array<std::uint8_t, 256> makeDecodeTable() {
    std::array<std::uint8_t, 256> table{};
    for (auto& v : table)
        v = kInvalid;
    for (std::uint8_t i = 0; i < 64; ++i)
        table[static_cast<unsigned char>(kAlphabet[i])] = i;
    return table;
}

constexpr std::array<std::uint8_t, 256> kDecode = makeDecodeTable();

std::string encodeBytes(const std::uint8_t* p, std::size_t n) {
    std::string out;
    out.reserve((n + 2) / 3 * 4);
    std::size_t i = 0;
    for (; i + 3 <= n; i += 3) {
        const std::uint32_t v = std::uint32_t{p[i]} << 16 | std::uint32_t{p[i + 1]} << 8 | p[i + 2];
        out += kAlphabet[v >> 18];
        out += kAlphabet[(v >> 12) & 63];
        out += kAlphabet[(v >> 6) & 63];
        out += kAlphabet[v & 63];
    }
    if (n - i == 1) {
        const std::uint32_t v = std::uint32_t{p[i]} << 16;
        out += kAlphabet[v >> 18];
        out += kAlphabet[(v >> 12) & 63];
        out += "==";
    } else if (n - i == 2) {
        const std::uint32_t v = std::uint32_t{p[i]} << 16 | std::uint32_t{p[i + 1]} << 8;
        out += kAlphabet[v >> 18];
        out += kAlphabet[(v >> 12) & 63];
        out += kAlphabet[(v >> 6) & 63];
        out += '=';
    }
    return out;
}

} // namespace

std::string Base64::encode(std::span<const std::uint8_t> data) { return encodeBytes(data.data(), data.size()); }

std::string Base64::encode(std::string_view data) {
    return encodeBytes(reinterpret_cast<const std::uint8_t*>(data.data()), data.size());
}

std::optional<std::string> Base64::decode(std::string_view text) {
    if (text.size() % 4 != 0)
        return std::nullopt;
    std::size_t padding = 0;
    if (!text.empty() && text.back() == '=')
        padding = text[text.size() - 2] == '=' ? 2 : 1;
    std::string out;
    out.reserve(text.size() / 4 * 3);
    for (std::size_t i = 0; i < text.size(); i += 4) {
        const bool last = i + 4 == text.size();
        // "=" may only appear as padding at the very end.
        const std::size_t symbols = last ? 4 - padding : 4;
        std::uint32_t v = 0;
        for (std::size_t k = 0; k < symbols; ++k) {
            const std::uint8_t d = kDecode[static_cast<unsigned char>(text[i + k])];
            if (d == kInvalid)
                return std::nullopt;
            v = v << 6 | d;
        }
        v <<= 6 * (4 - symbols);
        if (symbols == 4) {
            out += static_cast<char>(v >> 16);
            out += static_cast<char>(v >> 8);
            out += static_cast<char>(v);
        } else if (symbols == 3) {
            if (v & 0xff)
                return std::nullopt;
            out += static_cast<char>(v >> 16);
            out += static_cast<char>(v >> 8);
        } else {
            if (v & 0xffff)
                return std::nullopt;
            out += static_cast<char>(v >> 16);
        }
    }
    return out;
}

} // namespace pf
