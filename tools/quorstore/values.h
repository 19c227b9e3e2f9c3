// Byte values as the user types and reads them: hex strings and text.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace quorstore {

using Bytes = std::vector<uint8_t>;

// Parses hex digits, upper or lower case; blanks, ':' and '-' between byte
// pairs and one leading "0x" are allowed. Empty input is an empty value.
// Returns nothing when a character is not a hex digit or the digit count is
// odd; `problem`, when given, then says which ("'z' is not a hex digit").
std::optional<Bytes> parse_hex(const std::string &text, std::string *problem = nullptr);

// Lower-case hex, two digits per byte, no separators.
std::string to_hex(const Bytes &bytes);
std::string to_hex(const uint8_t *data, size_t size);

// The bytes of a text value (no terminator is added).
Bytes text_bytes(const std::string &text);

// True when every byte is printable ASCII, tab or newline.
bool is_printable_text(const Bytes &bytes);

// The value as text for a reader: valid UTF-8 without control characters
// other than tab and newline, trailing NUL terminators left out. Nothing
// when the bytes are not such text.
std::optional<std::string> readable_text(const Bytes &bytes);

// True when the value can stand as TEXT on a NAME=TEXT line and be read back
// as the same bytes: UTF-8 without any control character or NUL, and no
// blank at either end.
bool is_line_text(const Bytes &bytes);

// How a value is written: NAME=TEXT, NAME:hex=HEX, NAME:file=PATH, or an
// integer NAME:u8|u16|u32|u64|i32=NUMBER stored little-endian.
enum class ValueKind { kText, kHex, kFile, kU8, kU16, kU32, kU64, kI32 };

// The kind a suffix names ("hex", "u32", ...); nothing for another word.
std::optional<ValueKind> value_kind(const std::string &suffix);
const char *value_kind_name(ValueKind kind);

// Bytes of an integer kind (1 to 8); 0 for text, hex and file.
size_t value_kind_width(ValueKind kind);

// Encodes NUMBER (decimal, "-" for i32, or 0x-prefixed hex) as an integer
// kind, little-endian. Nothing when it is not a number or out of the kind's
// range; `problem` then says which.
std::optional<Bytes> encode_integer(ValueKind kind, const std::string &text,
                                    std::string *problem = nullptr);

// Splits "NAME:kind" into NAME and the kind; a name without a known suffix
// is text.
std::pair<std::string, ValueKind> split_value_kind(const std::string &name);

// "1 byte", "2 bytes": `count` with the noun in the right number.
std::string plural(uint64_t count, const std::string &one, const std::string &many);

// Parses an unsigned 32-bit number written in decimal or as 0x-prefixed hex.
std::optional<uint32_t> parse_u32(const std::string &text);

// "0x" followed by at least `digits` hex digits.
std::string hex_number(uint32_t value, int digits = 8);

}  // namespace quorstore
