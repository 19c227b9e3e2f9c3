#include "values.h"

#include <cstdio>

namespace quorstore {

namespace {

int hex_digit(char c) {
    if (c >= '0' && c <= '9') {
        return c - '0';
    }
    if (c >= 'a' && c <= 'f') {
        return c - 'a' + 10;
    }
    if (c >= 'A' && c <= 'F') {
        return c - 'A' + 10;
    }
    return -1;
}

bool is_separator(char c) {
    return c == ' ' || c == '\t' || c == ':' || c == '-' || c == '\n';
}

}  // namespace

std::optional<Bytes> parse_hex(const std::string &text) {
    size_t pos = 0;
    if (text.size() >= 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        pos = 2;
    }
    Bytes out;
    int high = -1;
    for (; pos < text.size(); ++pos) {
        const char c = text[pos];
        if (is_separator(c)) {
            if (high >= 0) {
                return std::nullopt;  // a separator splits a byte
            }
            continue;
        }
        const int digit = hex_digit(c);
        if (digit < 0) {
            return std::nullopt;
        }
        if (high < 0) {
            high = digit;
        } else {
            out.push_back(static_cast<uint8_t>(high * 16 + digit));
            high = -1;
        }
    }
    if (high >= 0) {
        return std::nullopt;
    }
    return out;
}

std::string to_hex(const uint8_t *data, size_t size) {
    static const char kDigits[] = "0123456789abcdef";
    std::string out;
    out.reserve(size * 2);
    for (size_t i = 0; i < size; ++i) {
        out.push_back(kDigits[data[i] >> 4]);
        out.push_back(kDigits[data[i] & 0x0F]);
    }
    return out;
}

std::string to_hex(const Bytes &bytes) {
    return to_hex(bytes.data(), bytes.size());
}

Bytes text_bytes(const std::string &text) {
    return Bytes(text.begin(), text.end());
}

bool is_printable_text(const Bytes &bytes) {
    for (uint8_t b : bytes) {
        if (!((b >= 0x20 && b < 0x7F) || b == '\t' || b == '\n')) {
            return false;
        }
    }
    return true;
}

std::optional<uint32_t> parse_u32(const std::string &text) {
    if (text.empty()) {
        return std::nullopt;
    }
    uint64_t value = 0;
    size_t pos = 0;
    uint64_t base = 10;
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        base = 16;
        pos = 2;
    }
    for (; pos < text.size(); ++pos) {
        const int digit = hex_digit(text[pos]);
        if (digit < 0 || static_cast<uint64_t>(digit) >= base) {
            return std::nullopt;
        }
        value = value * base + static_cast<uint64_t>(digit);
        if (value > 0xFFFFFFFFu) {
            return std::nullopt;
        }
    }
    return static_cast<uint32_t>(value);
}

std::string hex_number(uint32_t value, int digits) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "0x%0*x", digits, value);
    return buf;
}

}  // namespace quorstore
