#include "tools/talvor/text.h"

#include <algorithm>
#include <array>
#include <cctype>
#include <cstdio>
#include <utility>

#include <ntstatus.h>

namespace talvor::cli {

namespace {

int nibble(char c) {
  if (c >= '0' && c <= '9')
    return c - '0';
  c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  if (c >= 'a' && c <= 'f')
    return c - 'a' + 10;
  return -1;
}

bool separator(char c) {
  return c == ' ' || c == ':' || c == '\t';
}

// Hex pairs and "??"; -1 for "??". False for anything else.
bool parse_cells(std::string_view text, std::vector<int> &cells,
                 std::string *why) {
  std::size_t i = 0;
  while (i < text.size()) {
    if (separator(text[i])) {
      ++i;
      continue;
    }
    if (i + 1 >= text.size() || separator(text[i + 1])) {
      if (why)
        *why = "odd number of hex digits in \"" + std::string(text) + "\"";
      return false;
    }
    if (text[i] == '?' && text[i + 1] == '?') {
      cells.push_back(-1);
    } else {
      const int high = nibble(text[i]), low = nibble(text[i + 1]);
      if (high < 0 || low < 0) {
        if (why)
          *why = "not hex: \"" + std::string(text) + "\"";
        return false;
      }
      cells.push_back(high << 4 | low);
    }
    i += 2;
  }
  return true;
}

#define NAMED(status)                                                          \
  std::pair<NTSTATUS, const char *> {                                          \
    status, #status                                                            \
  }
constexpr std::array kStatusNames = {
    NAMED(STATUS_SUCCESS),
    NAMED(STATUS_USER_APC),
    NAMED(STATUS_KERNEL_APC),
    NAMED(STATUS_ALERTED),
    NAMED(STATUS_TIMEOUT),
    NAMED(STATUS_PENDING),
    NAMED(STATUS_REPARSE),
    NAMED(STATUS_MORE_ENTRIES),
    NAMED(STATUS_OBJECT_NAME_EXISTS),
    NAMED(STATUS_BUFFER_OVERFLOW),
    NAMED(STATUS_NO_MORE_ENTRIES),
    NAMED(STATUS_UNSUCCESSFUL),
    NAMED(STATUS_NOT_IMPLEMENTED),
    NAMED(STATUS_INVALID_INFO_CLASS),
    NAMED(STATUS_INFO_LENGTH_MISMATCH),
    NAMED(STATUS_ACCESS_VIOLATION),
    NAMED(STATUS_INVALID_HANDLE),
    NAMED(STATUS_INVALID_PARAMETER),
    NAMED(STATUS_NO_SUCH_DEVICE),
    NAMED(STATUS_NO_SUCH_FILE),
    NAMED(STATUS_INVALID_DEVICE_REQUEST),
    NAMED(STATUS_END_OF_FILE),
    NAMED(STATUS_NO_MEDIA_IN_DEVICE),
    NAMED(STATUS_UNRECOGNIZED_MEDIA),
    NAMED(STATUS_MORE_PROCESSING_REQUIRED),
    NAMED(STATUS_NO_MEMORY),
    NAMED(STATUS_ACCESS_DENIED),
    NAMED(STATUS_BUFFER_TOO_SMALL),
    NAMED(STATUS_OBJECT_TYPE_MISMATCH),
    NAMED(STATUS_OBJECT_NAME_INVALID),
    NAMED(STATUS_OBJECT_NAME_NOT_FOUND),
    NAMED(STATUS_OBJECT_NAME_COLLISION),
    NAMED(STATUS_OBJECT_PATH_NOT_FOUND),
    NAMED(STATUS_DATA_ERROR),
    NAMED(STATUS_CRC_ERROR),
    NAMED(STATUS_DELETE_PENDING),
    NAMED(STATUS_INSUFFICIENT_RESOURCES),
    NAMED(STATUS_DEVICE_NOT_READY),
    NAMED(STATUS_INVALID_PARAMETER_1),
    NAMED(STATUS_INVALID_PARAMETER_2),
    NAMED(STATUS_INVALID_PARAMETER_3),
    NAMED(STATUS_IO_DEVICE_ERROR),
    NAMED(STATUS_DEVICE_PROTOCOL_ERROR),
    NAMED(STATUS_IO_TIMEOUT),
    NAMED(STATUS_DEVICE_DATA_ERROR),
    NAMED(STATUS_DEVICE_NOT_CONNECTED),
    NAMED(STATUS_DEVICE_POWER_FAILURE),
    NAMED(STATUS_NOT_SUPPORTED),
    NAMED(STATUS_INVALID_DEVICE_STATE),
    NAMED(STATUS_CANCELLED),
    NAMED(STATUS_DEVICE_BUSY),
    NAMED(STATUS_NO_MEDIA),
    NAMED(STATUS_DEVICE_REMOVED),
    NAMED(STATUS_INVALID_BUFFER_SIZE),
    NAMED(STATUS_NOT_FOUND),
    NAMED(STATUS_POWER_STATE_INVALID),
    NAMED(STATUS_DEVICE_CONFIGURATION_ERROR),
    NAMED(STATUS_INTERNAL_ERROR),
    NAMED(STATUS_INVALID_USER_BUFFER),
    NAMED(STATUS_NO_SUCH_MEMBER),
    NAMED(STATUS_OBJECT_PATH_SYNTAX_BAD),
    NAMED(STATUS_NAME_TOO_LONG),
    NAMED(STATUS_INTEGER_OVERFLOW),
    NAMED(STATUS_FILE_CLOSED),
    NAMED(STATUS_DRIVER_INTERNAL_ERROR),
    NAMED(STATUS_TOO_MANY_OPENED_FILES),
    NAMED(STATUS_SHARING_VIOLATION),
    NAMED(STATUS_ILLEGAL_FUNCTION),
    NAMED(STATUS_DRIVER_UNABLE_TO_LOAD),
    NAMED(STATUS_DLL_NOT_FOUND),
    NAMED(STATUS_ENTRYPOINT_NOT_FOUND),
    NAMED(STATUS_IMAGE_ALREADY_LOADED),
    NAMED(STATUS_TRANSACTION_ABORTED),
};
#undef NAMED

} // namespace

std::optional<Bytes> parse_hex(std::string_view text, std::string *why) {
  std::vector<int> cells;
  if (!parse_cells(text, cells, why))
    return std::nullopt;
  Bytes bytes;
  for (int cell : cells) {
    if (cell < 0) {
      if (why)
        *why = "not hex: \"" + std::string(text) + "\"";
      return std::nullopt;
    }
    bytes.push_back(static_cast<std::uint8_t>(cell));
  }
  return bytes;
}

std::string format_hex(std::span<const std::uint8_t> bytes) {
  std::string text;
  char cell[4];
  for (std::uint8_t byte : bytes) {
    std::snprintf(cell, sizeof cell, text.empty() ? "%02X" : " %02X", byte);
    text += cell;
  }
  return text;
}

std::optional<BytePattern> BytePattern::parse(std::string_view text,
                                              std::string *why) {
  BytePattern pattern;
  pattern.text_ = std::string(text);
  const std::size_t star = text.find('*');
  if (star != std::string_view::npos && text.find('*', star + 1) != text.npos) {
    if (why)
      *why = "more than one \"*\" in \"" + std::string(text) + "\"";
    return std::nullopt;
  }
  if (!parse_cells(text.substr(0, star), pattern.head_, why))
    return std::nullopt;
  if (star != std::string_view::npos) {
    pattern.any_middle_ = true;
    if (!parse_cells(text.substr(star + 1), pattern.tail_, why))
      return std::nullopt;
  }
  return pattern;
}

bool BytePattern::matches(std::span<const std::uint8_t> bytes) const {
  auto fits = [](const std::vector<int> &cells,
                 std::span<const std::uint8_t> part) {
    for (std::size_t i = 0; i < cells.size(); ++i)
      if (cells[i] >= 0 && cells[i] != part[i])
        return false;
    return true;
  };
  const std::size_t fixed = head_.size() + tail_.size();
  if (any_middle_ ? bytes.size() < fixed : bytes.size() != fixed)
    return false;
  return fits(head_, bytes.first(head_.size())) &&
         fits(tail_, bytes.last(tail_.size()));
}

std::string status_name(NTSTATUS status) {
  for (const auto &[value, name] : kStatusNames)
    if (value == status)
      return name;
  return {};
}

std::string status_text(NTSTATUS status) {
  char hex[16];
  std::snprintf(hex, sizeof hex, "0x%08X", static_cast<unsigned>(status));
  const std::string name = status_name(status);
  return name.empty() ? hex : name + " (" + hex + ")";
}

std::optional<NTSTATUS> parse_status(std::string_view text) {
  for (const auto &[value, name] : kStatusNames)
    if (text == name)
      return value;
  if (text.size() < 3 || text.size() > 10 || text[0] != '0' ||
      (text[1] != 'x' && text[1] != 'X'))
    return std::nullopt;
  std::uint32_t value = 0;
  for (char c : text.substr(2)) {
    const int digit = nibble(c);
    if (digit < 0)
      return std::nullopt;
    value = value << 4 | static_cast<std::uint32_t>(digit);
  }
  return static_cast<NTSTATUS>(value);
}

std::string status_word_text(std::uint8_t sw1, std::uint8_t sw2) {
  const unsigned sw = static_cast<unsigned>(sw1) << 8 | sw2;
  switch (sw) {
  case 0x9000:
    return "done";
  case 0x6282:
    return "end of file reached first";
  case 0x6700:
    return "wrong length";
  case 0x6982:
    return "security status not satisfied";
  case 0x6983:
    return "authentication method blocked";
  case 0x6985:
    return "conditions of use not satisfied";
  case 0x6986:
    return "command not allowed (no current EF)";
  case 0x6A80:
    return "incorrect data";
  case 0x6A82:
    return "file not found";
  case 0x6A86:
    return "incorrect P1 P2";
  case 0x6A88:
    return "referenced data not found";
  case 0x6B00:
    return "wrong offset";
  case 0x6D00:
    return "instruction not supported";
  case 0x6E00:
    return "class not supported";
  case 0x6F00:
    return "no precise diagnosis";
  default:
    break;
  }
  char text[48];
  if (sw1 == 0x63 && (sw2 & 0xF0) == 0xC0) {
    std::snprintf(text, sizeof text, "verification failed, %u tries left",
                  sw2 & 0x0Fu);
    return text;
  }
  if (sw1 == 0x61) {
    std::snprintf(text, sizeof text, "%u more bytes available", sw2);
    return text;
  }
  if (sw1 == 0x6C) {
    std::snprintf(text, sizeof text, "wrong Le, %u bytes available", sw2);
    return text;
  }
  return {};
}

std::vector<std::string> words(std::string_view line) {
  std::vector<std::string> found;
  std::size_t i = 0;
  while (i < line.size()) {
    while (i < line.size() && std::isspace(static_cast<unsigned char>(line[i])))
      ++i;
    std::size_t end = i;
    while (end < line.size() &&
           !std::isspace(static_cast<unsigned char>(line[end])))
      ++end;
    if (end > i)
      found.emplace_back(line.substr(i, end - i));
    i = end;
  }
  return found;
}

} // namespace talvor::cli
