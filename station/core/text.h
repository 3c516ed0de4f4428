// Text encodings the station meets: the recipe (UTF-8 or Latin-1) and the
// controller's USB string descriptors (UTF-16LE). Inside the station every
// text is UTF-8.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace galmor {

// Strict UTF-8: no overlong forms, no surrogates, nothing above U+10FFFF.
bool IsUtf8(std::string_view text);
// Each byte taken as a Latin-1 character.
std::string Latin1ToUtf8(std::string_view text);
// UTF-16 code units of a valid UTF-8 text (empty optional when it is not).
std::optional<std::u16string> Utf8ToUtf16(std::string_view text);
// UTF-8 of UTF-16 code units; empty optional when a surrogate is unpaired.
std::optional<std::string> Utf16ToUtf8(std::u16string_view units);
// True when every byte is printable ASCII (0x20 to 0x7E).
bool IsPrintableAscii(std::string_view text);

}  // namespace galmor
