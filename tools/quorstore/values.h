// Byte values as the user types and reads them: hex strings and text.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace quorstore {

using Bytes = std::vector<uint8_t>;

// Parses hex digits, upper or lower case; blanks, ':' and '-' between byte
// pairs and one leading "0x" are allowed. Empty input is an empty value.
// Returns nothing when a character is not a hex digit or the digit count is odd.
std::optional<Bytes> parse_hex(const std::string &text);

// Lower-case hex, two digits per byte, no separators.
std::string to_hex(const Bytes &bytes);
std::string to_hex(const uint8_t *data, size_t size);

// The bytes of a text value (no terminator is added).
Bytes text_bytes(const std::string &text);

// True when every byte is printable ASCII, tab or newline.
bool is_printable_text(const Bytes &bytes);

// Parses an unsigned 32-bit number written in decimal or as 0x-prefixed hex.
std::optional<uint32_t> parse_u32(const std::string &text);

// "0x" followed by at least `digits` hex digits.
std::string hex_number(uint32_t value, int digits = 8);

}  // namespace quorstore
