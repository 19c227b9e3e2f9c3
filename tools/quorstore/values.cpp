#include "values.h"

#include <cstddef>
#include <cstdint>
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

std::optional<Bytes> parse_hex(const std::string &text, std::string *problem) {
    auto refuse = [problem](const std::string &why) -> std::optional<Bytes> {
        if (problem != nullptr) {
            *problem = why;
        }
        return std::nullopt;
    };
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
                return refuse("a separator at position " + std::to_string(pos + 1) +
                              " splits a byte");
            }
            continue;
        }
        const int digit = hex_digit(c);
        if (digit < 0) {
            return refuse("'" + std::string(1, c) + "' at position " + std::to_string(pos + 1) +
                          " is not a hex digit");
        }
        if (high < 0) {
            high = digit;
        } else {
            out.push_back(static_cast<uint8_t>(high * 16 + digit));
            high = -1;
        }
    }
    if (high >= 0) {
        return refuse("an odd number of hex digits (two make a byte)");
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

namespace {

// Length of the UTF-8 sequence starting at bytes[i], 0 when it is not valid
// (overlong forms, surrogates and code points above U+10FFFF included).
size_t utf8_length(const Bytes &bytes, size_t i) {
    const uint8_t b = bytes[i];
    if (b < 0x80) {
        return 1;
    }
    size_t length = 0;
    uint32_t code = 0;
    if ((b & 0xE0) == 0xC0) {
        length = 2;
        code = b & 0x1Fu;
    } else if ((b & 0xF0) == 0xE0) {
        length = 3;
        code = b & 0x0Fu;
    } else if ((b & 0xF8) == 0xF0) {
        length = 4;
        code = b & 0x07u;
    } else {
        return 0;
    }
    if (i + length > bytes.size()) {
        return 0;
    }
    for (size_t k = 1; k < length; ++k) {
        if ((bytes[i + k] & 0xC0) != 0x80) {
            return 0;
        }
        code = (code << 6) | (bytes[i + k] & 0x3Fu);
    }
    static const uint32_t kSmallest[] = {0, 0, 0x80, 0x800, 0x10000};
    if (code < kSmallest[length] || code > 0x10FFFF || (code >= 0xD800 && code <= 0xDFFF)) {
        return 0;
    }
    return length;
}

// Valid UTF-8 whose ASCII part is printable, tab and newline allowed when
// `allow_tab_newline`.
bool is_utf8_text(const Bytes &bytes, size_t size, bool allow_tab_newline) {
    for (size_t i = 0; i < size;) {
        const uint8_t b = bytes[i];
        if (b < 0x80) {
            const bool blank = b == '\t' || b == '\n';
            if ((b < 0x20 || b == 0x7F) && !(allow_tab_newline && blank)) {
                return false;
            }
            ++i;
            continue;
        }
        const size_t length = utf8_length(bytes, i);
        if (length == 0) {
            return false;
        }
        i += length;
    }
    return true;
}

struct IntegerKind {
    ValueKind kind;
    const char *name;
    size_t width;
    bool is_signed;
};

const IntegerKind kIntegerKinds[] = {
    {ValueKind::kU8, "u8", 1, false},   {ValueKind::kU16, "u16", 2, false},
    {ValueKind::kU32, "u32", 4, false}, {ValueKind::kU64, "u64", 8, false},
    {ValueKind::kI32, "i32", 4, true},
};

const IntegerKind *integer_kind(ValueKind kind) {
    for (const IntegerKind &k : kIntegerKinds) {
        if (k.kind == kind) {
            return &k;
        }
    }
    return nullptr;
}

// Digits in `base` to a 64-bit magnitude; nothing on a stray character or
// overflow.
std::optional<uint64_t> parse_magnitude(const std::string &digits, uint64_t base) {
    if (digits.empty()) {
        return std::nullopt;
    }
    uint64_t value = 0;
    for (char c : digits) {
        const int digit = hex_digit(c);
        if (digit < 0 || static_cast<uint64_t>(digit) >= base) {
            return std::nullopt;
        }
        if (value > (UINT64_MAX - static_cast<uint64_t>(digit)) / base) {
            return std::nullopt;
        }
        value = value * base + static_cast<uint64_t>(digit);
    }
    return value;
}

}  // namespace

std::optional<std::string> readable_text(const Bytes &bytes) {
    size_t size = bytes.size();
    while (size > 0 && bytes[size - 1] == 0) {
        --size;
    }
    if (!is_utf8_text(bytes, size, true)) {
        return std::nullopt;
    }
    return std::string(bytes.begin(), bytes.begin() + static_cast<std::ptrdiff_t>(size));
}

bool is_line_text(const Bytes &bytes) {
    if (!bytes.empty() && (bytes.front() == ' ' || bytes.back() == ' ')) {
        return false;
    }
    return is_utf8_text(bytes, bytes.size(), false);
}

std::optional<ValueKind> value_kind(const std::string &suffix) {
    if (suffix == "text") {
        return ValueKind::kText;
    }
    if (suffix == "hex") {
        return ValueKind::kHex;
    }
    if (suffix == "file") {
        return ValueKind::kFile;
    }
    for (const IntegerKind &k : kIntegerKinds) {
        if (suffix == k.name) {
            return k.kind;
        }
    }
    return std::nullopt;
}

const char *value_kind_name(ValueKind kind) {
    switch (kind) {
        case ValueKind::kText:
            return "text";
        case ValueKind::kHex:
            return "hex";
        case ValueKind::kFile:
            return "file";
        default:
            return integer_kind(kind)->name;
    }
}

size_t value_kind_width(ValueKind kind) {
    const IntegerKind *k = integer_kind(kind);
    return k != nullptr ? k->width : 0;
}

std::optional<Bytes> encode_integer(ValueKind kind, const std::string &text, std::string *problem) {
    const IntegerKind *k = integer_kind(kind);
    auto refuse = [problem](const std::string &why) -> std::optional<Bytes> {
        if (problem != nullptr) {
            *problem = why;
        }
        return std::nullopt;
    };
    if (k == nullptr) {
        return refuse("not an integer kind");
    }
    const bool negative = !text.empty() && text[0] == '-';
    std::string digits = negative ? text.substr(1) : text;
    uint64_t base = 10;
    if (digits.size() > 2 && digits[0] == '0' && (digits[1] == 'x' || digits[1] == 'X')) {
        base = 16;
        digits = digits.substr(2);
    }
    const std::optional<uint64_t> magnitude = parse_magnitude(digits, base);
    if (!magnitude) {
        return refuse("\"" + text + "\" is not a " + (k->is_signed ? "" : "non-negative ") +
                      "decimal or 0x-prefixed hex number");
    }
    const std::string range =
        k->is_signed
            ? "-2147483648 to 2147483647"
            : "0 to " +
                  std::to_string(k->width == 8 ? UINT64_MAX : (uint64_t{1} << (8 * k->width)) - 1);
    uint64_t bits = *magnitude;
    if (k->is_signed) {
        const uint64_t limit = negative ? uint64_t{0x80000000} : uint64_t{0x7FFFFFFF};
        if (*magnitude > limit) {
            return refuse(text + " is outside the " + k->name + " range " + range);
        }
        bits = negative ? (~*magnitude + 1) : *magnitude;
    } else if (negative || (k->width < 8 && *magnitude >> (8 * k->width) != 0)) {
        return refuse(text + " is outside the " + k->name + " range " + range);
    }
    Bytes out(k->width);
    for (size_t i = 0; i < k->width; ++i) {
        out[i] = static_cast<uint8_t>(bits >> (8 * i));
    }
    return out;
}

std::pair<std::string, ValueKind> split_value_kind(const std::string &name) {
    const auto colon = name.rfind(':');
    if (colon != std::string::npos) {
        if (auto kind = value_kind(name.substr(colon + 1))) {
            return {name.substr(0, colon), *kind};
        }
    }
    return {name, ValueKind::kText};
}

std::string plural(uint64_t count, const std::string &one, const std::string &many) {
    return std::to_string(count) + " " + (count == 1 ? one : many);
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
