#pragma once
// Windows-1252 (Western European) text, the encoding used on the wire
// between the client and the lookup server.
//
// This code deliberately depends on nothing but the standard library: the
// client uses it through Qt strings, the server through UTF-8, and both must
// agree byte for byte whatever the platform's own converters can do.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace velmario::cp1252 {

// The character a byte stands for. Every byte decodes; the five bytes that
// Windows-1252 leaves undefined (0x81, 0x8D, 0x8F, 0x90, 0x9D) decode to the
// C1 control with the same number, so that they round-trip.
char16_t decode(std::uint8_t byte);

// The byte for a Unicode code point, or nothing when the character has no
// Windows-1252 form.
std::optional<std::uint8_t> encode(char32_t codePoint);

// UTF-8 text to Windows-1252 bytes. Nothing when the input is not valid UTF-8
// or holds a character without a Windows-1252 form.
std::optional<std::string> fromUtf8(std::string_view utf8);
// The same, appended to `out`: false, with `out` as it was, when fromUtf8
// would give nothing.
bool appendFromUtf8(std::string& out, std::string_view utf8);

// Windows-1252 bytes to UTF-8 text (always succeeds).
std::string toUtf8(std::string_view bytes);

// Whether every character of the UTF-8 text has a Windows-1252 form.
inline bool representable(std::string_view utf8) { return fromUtf8(utf8).has_value(); }

} // namespace velmario::cp1252
