// UTF-16 <-> UTF-8 conversion for the hosted kernel (see utf16.h).
#include "platform/kernel/utf16.h"

namespace talvor::kernel {

namespace {

constexpr char32_t replacement = 0xFFFD;

bool is_high_surrogate(char32_t unit) { return unit >= 0xD800 && unit <= 0xDBFF; }
bool is_low_surrogate(char32_t unit) { return unit >= 0xDC00 && unit <= 0xDFFF; }

} // namespace

std::size_t utf16_length(const char16_t *text, std::size_t limit) {
  std::size_t length = 0;
  while (length < limit && text[length] != 0)
    ++length;
  return length;
}

void append_utf8(std::string &out, char32_t code_point) {
  if (code_point > 0x10FFFF || (code_point >= 0xD800 && code_point <= 0xDFFF))
    code_point = replacement;
  if (code_point < 0x80) {
    out += static_cast<char>(code_point);
  } else if (code_point < 0x800) {
    out += static_cast<char>(0xC0 | (code_point >> 6));
    out += static_cast<char>(0x80 | (code_point & 0x3F));
  } else if (code_point < 0x10000) {
    out += static_cast<char>(0xE0 | (code_point >> 12));
    out += static_cast<char>(0x80 | ((code_point >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (code_point & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (code_point >> 18));
    out += static_cast<char>(0x80 | ((code_point >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((code_point >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (code_point & 0x3F));
  }
}

std::string utf16_to_utf8(std::u16string_view text) {
  std::string out;
  out.reserve(text.size());
  for (std::size_t i = 0; i < text.size(); ++i) {
    char32_t unit = text[i];
    if (is_high_surrogate(unit) && i + 1 < text.size() &&
        is_low_surrogate(text[i + 1])) {
      char32_t low = text[++i];
      append_utf8(out, 0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00));
    } else {
      append_utf8(out, unit); // a lone surrogate becomes U+FFFD there
    }
  }
  return out;
}

std::string utf16z_to_utf8(const char16_t *text, std::size_t limit) {
  if (text == nullptr)
    return {};
  return utf16_to_utf8(std::u16string_view(text, utf16_length(text, limit)));
}

std::u16string utf8_to_utf16(std::string_view text) {
  std::u16string out;
  out.reserve(text.size());
  std::size_t i = 0;
  while (i < text.size()) {
    auto lead = static_cast<unsigned char>(text[i]);
    std::size_t extra = 0;
    char32_t code_point = 0;
    char32_t minimum = 0;
    if (lead < 0x80) {
      code_point = lead;
    } else if ((lead & 0xE0) == 0xC0) {
      extra = 1, code_point = lead & 0x1F, minimum = 0x80;
    } else if ((lead & 0xF0) == 0xE0) {
      extra = 2, code_point = lead & 0x0F, minimum = 0x800;
    } else if ((lead & 0xF8) == 0xF0) {
      extra = 3, code_point = lead & 0x07, minimum = 0x10000;
    } else {
      out += static_cast<char16_t>(replacement);
      ++i;
      continue;
    }
    bool valid = i + extra < text.size(); // every continuation byte present
    for (std::size_t k = 1; valid && k <= extra; ++k) {
      auto next = static_cast<unsigned char>(text[i + k]);
      if ((next & 0xC0) != 0x80)
        valid = false;
      else
        code_point = (code_point << 6) | (next & 0x3F);
    }
    if (!valid || code_point < minimum || code_point > 0x10FFFF ||
        (code_point >= 0xD800 && code_point <= 0xDFFF)) {
      out += static_cast<char16_t>(replacement);
      ++i;
      continue;
    }
    i += extra + 1;
    if (code_point >= 0x10000) {
      code_point -= 0x10000;
      out += static_cast<char16_t>(0xD800 + (code_point >> 10));
      out += static_cast<char16_t>(0xDC00 + (code_point & 0x3FF));
    } else {
      out += static_cast<char16_t>(code_point);
    }
  }
  return out;
}

} // namespace talvor::kernel
