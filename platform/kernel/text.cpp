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

std::string major_function_name(UCHAR major) {
  switch (major) {
  case IRP_MJ_CREATE:
    return "IRP_MJ_CREATE";
  case IRP_MJ_CLOSE:
    return "IRP_MJ_CLOSE";
  case IRP_MJ_READ:
    return "IRP_MJ_READ";
  case IRP_MJ_WRITE:
    return "IRP_MJ_WRITE";
  case IRP_MJ_DEVICE_CONTROL:
    return "IRP_MJ_DEVICE_CONTROL";
  case IRP_MJ_INTERNAL_DEVICE_CONTROL:
    return "IRP_MJ_INTERNAL_DEVICE_CONTROL";
  case IRP_MJ_CLEANUP:
    return "IRP_MJ_CLEANUP";
  case IRP_MJ_POWER:
    return "IRP_MJ_POWER";
  case IRP_MJ_SYSTEM_CONTROL:
    return "IRP_MJ_SYSTEM_CONTROL";
  case IRP_MJ_PNP:
    return "IRP_MJ_PNP";
  default:
    return "IRP_MJ " + hex32(major);
  }
}

} // namespace talvor::kernel
