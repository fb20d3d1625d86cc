// The kernel's format engine: DbgPrint and the strsafe routines format with it.
//
// format_kernel follows the Microsoft C run-time's printf engine, which is
// what the Windows kernel's DbgPrint and _vsnprintf use; where it differs
// from the C standard, the Microsoft behaviour is kept:
// - `l` is 32 bits (long is 32 bits on Windows), pointers print as 16
//   upper-case hex digits, %S/%C are wide, %Z/%wZ read counted strings;
// - the 0 flag pads strings and characters with zeros as well;
// - precision is ignored for %Z/%wZ.
#include "platform/kernel/format.h"

#include <algorithm>
#include <climits>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include <wdm.h>

#include "platform/kernel/utf16.h"

namespace talvor::kernel {

namespace {

constexpr int max_precision = 512; // the Microsoft run-time's limit
constexpr int max_width = 1 << 20; // ours: padding, not a read limit
constexpr const char *null_text = "(null)";

enum class Size {
  None,
  Char,     // hh
  Short,    // h
  Long,     // l: 32 bits, or wide for c and s
  LongLong, // ll
  Int32,    // I32
  Int64,    // I64
  Pointer,  // I z t j
  Wide,     // w
};

struct Conversion {
  bool left = false;
  bool plus = false;
  bool space = false;
  bool alternate = false;
  bool zero = false;
  bool width_from_argument = false;
  bool precision_from_argument = false;
  int width = 0;
  int precision = -1; // -1: none given
  Size size = Size::None;
  char conversion = 0; // 0: the format ended inside a conversion
};

int add_digit(int value, char digit) {
  int next = value * 10 + (digit - '0');
  return value > (INT_MAX - 9) / 10 ? INT_MAX : next;
}

// Parses one conversion; `p` points just past the '%'.
// Returns the position after the conversion character (or the end).
const char *parse_conversion(const char *p, Conversion &conv) {
  for (;; ++p) {
    if (*p == '-')
      conv.left = true;
    else if (*p == '+')
      conv.plus = true;
    else if (*p == ' ')
      conv.space = true;
    else if (*p == '#')
      conv.alternate = true;
    else if (*p == '0')
      conv.zero = true;
    else
      break;
  }
  if (*p == '*') {
    conv.width_from_argument = true;
    ++p;
  } else {
    while (*p >= '0' && *p <= '9')
      conv.width = add_digit(conv.width, *p++);
  }
  if (*p == '.') {
    ++p;
    if (*p == '*') {
      conv.precision_from_argument = true;
      ++p;
    } else {
      conv.precision = 0;
      while (*p >= '0' && *p <= '9')
        conv.precision = add_digit(conv.precision, *p++);
    }
  }
  switch (*p) {
  case 'h':
    ++p;
    conv.size = Size::Short;
    if (*p == 'h') {
      ++p;
      conv.size = Size::Char;
    }
    break;
  case 'l':
    ++p;
    conv.size = Size::Long;
    if (*p == 'l') {
      ++p;
      conv.size = Size::LongLong;
    }
    break;
  case 'I':
    ++p;
    if (p[0] == '6' && p[1] == '4') {
      p += 2;
      conv.size = Size::Int64;
    } else if (p[0] == '3' && p[1] == '2') {
      p += 2;
      conv.size = Size::Int32;
    } else {
      conv.size = Size::Pointer;
    }
    break;
  case 'z':
  case 't':
  case 'j':
    ++p;
    conv.size = Size::Pointer;
    break;
  case 'w':
    ++p;
    conv.size = Size::Wide;
    break;
  case 'L': // long double, which is double on Windows
    ++p;
    break;
  default:
    break;
  }
  if (*p != 0)
    conv.conversion = *p++;
  return p;
}

// Whether a string or character conversion reads wide text.
bool is_wide_text(const Conversion &conv, FormatFlavor flavor) {
  bool wide_default = flavor == FormatFlavor::Wide;
  switch (conv.conversion) {
  case 's':
  case 'c':
    break;
  case 'S':
  case 'C':
    wide_default = !wide_default;
    break;
  case 'Z':
    wide_default = false;
    break;
  default:
    return false;
  }
  if (conv.size == Size::Short)
    return false;
  if (conv.size == Size::Long || conv.size == Size::Wide)
    return true;
  return wide_default;
}

int integer_bits(Size size) {
  switch (size) {
  case Size::Char:
    return 8;
  case Size::Short:
    return 16;
  case Size::LongLong:
  case Size::Int64:
  case Size::Pointer:
    return 64;
  default:
    return 32;
  }
}

class Formatter {
public:
  Formatter(const char *format, va_list *args, FormatFlavor flavor)
      : format_(format), args_(args), flavor_(flavor) {}

  std::string run() {
    const char *p = format_;
    while (*p != 0) {
      const char *percent = std::strchr(p, '%');
      if (percent == nullptr) {
        out_.append(p);
        break;
      }
      out_.append(p, percent);
      Conversion conv;
      const char *end = parse_conversion(percent + 1, conv);
      convert(conv, std::string_view(percent, end - percent));
      p = end;
    }
    return std::move(out_);
  }

private:
  void convert(Conversion &conv, std::string_view as_written) {
    // Width and precision taken from the arguments come first, in order.
    if (conv.width_from_argument) {
      int width = va_arg(*args_, int);
      if (width < 0) {
        conv.left = true;
        width = width == INT_MIN ? INT_MAX : -width;
      }
      conv.width = width;
    }
    if (conv.precision_from_argument) {
      int precision = va_arg(*args_, int);
      conv.precision = precision < 0 ? -1 : precision;
    }
    conv.width = std::min(conv.width, max_width);

    switch (conv.conversion) {
    case 'd':
    case 'i':
      return signed_integer(conv);
    case 'u':
      return unsigned_integer(conv, read_unsigned(conv.size), 10, false);
    case 'o':
      return unsigned_integer(conv, read_unsigned(conv.size), 8, false);
    case 'x':
      return unsigned_integer(conv, read_unsigned(conv.size), 16, false);
    case 'X':
      return unsigned_integer(conv, read_unsigned(conv.size), 16, true);
    case 'p':
      conv.precision = 16;
      return unsigned_integer(
          conv, reinterpret_cast<std::uintptr_t>(va_arg(*args_, void *)), 16,
          true);
    case 'c':
    case 'C':
      return character(conv);
    case 's':
    case 'S':
      return string(conv);
    case 'Z':
      return counted_string(conv);
    case 'e':
    case 'E':
    case 'f':
    case 'F':
    case 'g':
    case 'G':
    case 'a':
    case 'A':
      return floating(conv);
    case '%':
      out_ += '%';
      return;
    default: // unknown (or the format ended): copied, no argument read
      out_.append(as_written);
      return;
    }
  }

  template <class T> T next() { return va_arg(*args_, T); }

  // Char and short arrive promoted to int; the value is cut back to them.
  std::uint64_t read_unsigned(Size size) {
    switch (integer_bits(size)) {
    case 8:
      return static_cast<unsigned char>(next<unsigned int>());
    case 16:
      return static_cast<unsigned short>(next<unsigned int>());
    case 64:
      return next<unsigned long long>();
    default:
      return next<unsigned int>();
    }
  }

  void signed_integer(const Conversion &conv) {
    std::int64_t value;
    switch (integer_bits(conv.size)) {
    case 8: // %hhd: the sign of the char is wanted
      // NOLINTNEXTLINE(bugprone-signed-char-misuse)
      value = static_cast<std::int8_t>(next<int>());
      break;
    case 16:
      value = static_cast<std::int16_t>(next<int>());
      break;
    case 64:
      value = next<long long>();
      break;
    default:
      value = next<int>();
      break;
    }
    std::string sign;
    std::uint64_t magnitude = static_cast<std::uint64_t>(value);
    if (value < 0) {
      sign = "-";
      magnitude = 0 - magnitude;
    } else if (conv.plus) {
      sign = "+";
    } else if (conv.space) {
      sign = " ";
    }
    integer_text(conv, magnitude, 10, false, sign);
  }

  void unsigned_integer(const Conversion &conv, std::uint64_t value,
                        unsigned base, bool upper) {
    std::string prefix;
    if (conv.alternate && base == 16 && value != 0)
      prefix = upper ? "0X" : "0x";
    integer_text(conv, value, base, upper, prefix);
  }

  void integer_text(const Conversion &conv, std::uint64_t value, unsigned base,
                    bool upper, const std::string &prefix) {
    const char *digit_set = upper ? "0123456789ABCDEF" : "0123456789abcdef";
    std::string digits;
    for (std::uint64_t rest = value; rest != 0; rest /= base)
      digits += digit_set[rest % base];
    int precision =
        conv.precision < 0 ? 1 : std::min(conv.precision, max_precision);
    if (digits.size() < static_cast<std::size_t>(precision))
      digits.append(precision - digits.size(), '0');
    if (conv.alternate && base == 8 && (digits.empty() || digits.back() != '0'))
      digits += '0';
    std::reverse(digits.begin(), digits.end());
    // An explicit precision turns the 0 flag off, as the C standard says.
    bool zero = conv.zero && conv.precision < 0;
    pad(conv, prefix, digits, digits.size() + prefix.size(), zero);
  }

  // Writes prefix and body within the field width; `columns` is how wide
  // they count.
  void pad(const Conversion &conv, std::string_view prefix,
           std::string_view body, std::size_t columns, bool zero) {
    std::size_t padding = static_cast<std::size_t>(conv.width) > columns
                              ? conv.width - columns
                              : 0;
    if (!conv.left && !zero)
      out_.append(padding, ' ');
    out_.append(prefix);
    if (!conv.left && zero)
      out_.append(padding, '0');
    out_.append(body);
    if (conv.left)
      out_.append(padding, ' ');
  }

  void character(const Conversion &conv) {
    int value = va_arg(*args_, int);
    std::string text;
    if (is_wide_text(conv, flavor_)) {
      append_utf8(text, static_cast<char16_t>(value));
    } else {
      char narrow = static_cast<char>(value);
      text = narrow_text(std::string_view(&narrow, 1));
    }
    pad(conv, {}, text, 1, conv.zero);
  }

  // Narrow text goes out byte for byte into DbgPrint's narrow output. Into
  // the wide routines' output it is ANSI text, Latin-1 here as in
  // RtlAnsiStringToUnicodeString, so it becomes UTF-8 on the way.
  std::string narrow_text(std::string_view text) const {
    if (flavor_ == FormatFlavor::Narrow)
      return std::string(text);
    std::string out;
    for (char c : text)
      append_utf8(out, static_cast<unsigned char>(c));
    return out;
  }

  void string(const Conversion &conv) {
    std::size_t limit = conv.precision < 0
                            ? static_cast<std::size_t>(-1)
                            : static_cast<std::size_t>(conv.precision);
    std::string text;
    std::size_t columns;
    if (is_wide_text(conv, flavor_)) {
      auto *wide = va_arg(*args_, const char16_t *);
      if (wide == nullptr) {
        text.assign(null_text, strnlen(null_text, limit));
        columns = text.size();
      } else {
        columns = utf16_length(wide, limit);
        text = utf16_to_utf8(std::u16string_view(wide, columns));
      }
    } else {
      auto *narrow = va_arg(*args_, const char *);
      if (narrow == nullptr)
        narrow = null_text;
      columns = strnlen(narrow, limit);
      text = narrow_text(std::string_view(narrow, columns));
    }
    pad(conv, {}, text, columns, conv.zero);
  }

  void counted_string(const Conversion &conv) {
    std::string text;
    std::size_t columns;
    if (is_wide_text(conv, flavor_)) {
      auto *counted = va_arg(*args_, const UNICODE_STRING *);
      if (counted == nullptr || counted->Buffer == nullptr) {
        text = null_text;
        columns = text.size();
      } else {
        columns = counted->Length / sizeof(WCHAR);
        text = utf16_to_utf8(std::u16string_view(
            reinterpret_cast<const char16_t *>(counted->Buffer), columns));
      }
    } else {
      auto *counted = va_arg(*args_, const ANSI_STRING *);
      std::string_view narrow = null_text;
      if (counted != nullptr && counted->Buffer != nullptr)
        narrow = std::string_view(counted->Buffer, counted->Length);
      text = narrow_text(narrow);
      columns = narrow.size();
    }
    pad(conv, {}, text, columns, conv.zero);
  }

  void floating(const Conversion &conv) {
    double value = va_arg(*args_, double);
    std::string format = "%";
    if (conv.left)
      format += '-';
    if (conv.plus)
      format += '+';
    if (conv.space)
      format += ' ';
    if (conv.alternate)
      format += '#';
    if (conv.zero)
      format += '0';
    format += "*.*";
    format += conv.conversion;
    int precision =
        conv.precision < 0 ? -1 : std::min(conv.precision, max_precision);
    int length =
        std::snprintf(nullptr, 0, format.c_str(), conv.width, precision, value);
    if (length <= 0)
      return;
    std::string text(static_cast<std::size_t>(length) + 1, '\0');
    std::snprintf(text.data(), text.size(), format.c_str(), conv.width,
                  precision, value);
    text.resize(static_cast<std::size_t>(length));
    out_ += text;
  }

  const char *format_;
  va_list *args_;
  FormatFlavor flavor_;
  std::string out_;
};

} // namespace

std::string format_kernel(const char *format, va_list args,
                          FormatFlavor flavor) {
  if (format == nullptr)
    return {};
  va_list copy;
  va_copy(copy, args);
  std::string text = Formatter(format, &copy, flavor).run();
  va_end(copy);
  return text;
}

std::string format_kernel(const char *format, va_list args) {
  return format_kernel(format, args, FormatFlavor::Narrow);
}

bool format_reads_wide_text(const char *format, FormatFlavor flavor) {
  if (format == nullptr)
    return false;
  for (const char *p = std::strchr(format, '%'); p != nullptr;) {
    Conversion conv;
    p = parse_conversion(p + 1, conv);
    if (is_wide_text(conv, flavor))
      return true;
    p = std::strchr(p, '%');
  }
  return false;
}

} // namespace talvor::kernel
