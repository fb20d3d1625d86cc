// UTF-16 (the kernel's WCHAR text) to and from UTF-8 (the platform's text).
// Used wherever a WDM routine hands the platform a wide string: DbgPrint's
// %ws and %wZ, registry paths and value names, the strsafe W routines.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace talvor::kernel {

// Code units up to the first zero unit, reading at most `limit` units.
std::size_t utf16_length(const char16_t *text,
                         std::size_t limit = static_cast<std::size_t>(-1));

// Surrogate pairs become one code point; a lone surrogate becomes U+FFFD.
std::string utf16_to_utf8(std::u16string_view text);
// Reads at most `limit` units, stopping at a zero unit; null gives "".
std::string utf16z_to_utf8(const char16_t *text,
                           std::size_t limit = static_cast<std::size_t>(-1));

// Malformed UTF-8 (a stray or truncated sequence, an overlong form, an
// encoded surrogate) becomes U+FFFD for each offending byte.
std::u16string utf8_to_utf16(std::string_view text);

// Appends one code point as UTF-8.
void append_utf8(std::string &out, char32_t code_point);

} // namespace talvor::kernel
