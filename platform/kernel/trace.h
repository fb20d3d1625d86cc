// The kernel debugger's output: every DbgPrint, formatted as the kernel
// formats it, kept as text that tests and tools can read and search.
#pragma once

#include <cstdarg>
#include <cstddef>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

namespace talvor::kernel {

// Formats as the kernel's DbgPrint does: %s %S %ws %Z %wZ %c %C %d %i %u %x
// %X %o %p, the l, ll, h, I64, I32 and z size prefixes, flags, width and
// precision (also `*`). A null string argument prints "(null)". An unknown
// conversion is copied as it stands.
std::string format_kernel(const char *format, va_list args);

class Trace {
public:
  // Appends one DbgPrint's text; a line is complete at its '\n'.
  void append(std::string_view text);
  void print(const char *format, va_list args);

  std::string text() const;              // everything, as printed
  std::vector<std::string> lines() const; // complete lines without '\n',
                                          // then an unfinished one if any
  bool contains(std::string_view needle) const;
  std::size_t count(std::string_view needle) const; // occurrences in text()
  std::size_t size() const;                         // bytes of text()
  void clear();

  // Also write each DbgPrint to stderr as it happens.
  void set_echo(bool echo);

private:
  mutable std::mutex trace_lock_; // guards text_ and echo_
  std::string text_;
  bool echo_ = false;
};

} // namespace talvor::kernel
