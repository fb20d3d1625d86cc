// What the tool reads and prints: hex byte strings, byte patterns for
// expected answers, NTSTATUS values by name, status words.
#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include <wdm.h>

namespace talvor::cli {

using Bytes = std::vector<std::uint8_t>;

// "00A4 000C", "00:a4:00" or "00 A4 00": pairs of hex digits, optionally
// separated by spaces or colons. Nothing, and why, for anything else.
std::optional<Bytes> parse_hex(std::string_view text,
                               std::string *why = nullptr);
// "00 A4 00 0C"; empty for no bytes.
std::string format_hex(std::span<const std::uint8_t> bytes);

// An expected answer: hex bytes where "??" stands for any one byte and "*"
// for any number of bytes (once).
class BytePattern {
public:
  static std::optional<BytePattern> parse(std::string_view text,
                                          std::string *why = nullptr);
  bool matches(std::span<const std::uint8_t> bytes) const;
  const std::string &text() const { return text_; }

private:
  // -1: any byte.
  std::vector<int> head_, tail_;
  bool any_middle_ = false;
  std::string text_;
};

// "STATUS_NO_MEDIA (0xC0000178)"; the hex alone for a status without a
// name here.
std::string status_text(NTSTATUS status);
std::string status_name(NTSTATUS status); // "" when unknown
// A name ("STATUS_NO_MEDIA") or a number ("0xC0000178").
std::optional<NTSTATUS> parse_status(std::string_view text);

// What a status word means, "" when this tool does not know.
std::string status_word_text(std::uint8_t sw1, std::uint8_t sw2);

// Splits a line at blanks.
std::vector<std::string> words(std::string_view line);

} // namespace talvor::cli
