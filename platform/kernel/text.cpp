#include "platform/kernel/text.h"

#include <cstdio>

namespace talvor::kernel {

namespace {
char upper(char c) {
  return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
}
} // namespace

std::string upper_ascii(std::string_view text) {
  std::string result(text);
  for (char &c : result)
    c = upper(c);
  return result;
}

bool equal_ignoring_case(std::string_view a, std::string_view b) {
  if (a.size() != b.size())
    return false;
  for (std::size_t i = 0; i < a.size(); ++i)
    if (upper(a[i]) != upper(b[i]))
      return false;
  return true;
}

std::string hex32(ULONG value) {
  char text[16];
  std::snprintf(text, sizeof text, "0x%08X", value);
  return text;
}

} // namespace talvor::kernel
