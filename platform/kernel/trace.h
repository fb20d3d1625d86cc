// The kernel debugger's output: every DbgPrint, formatted by the kernel's
// format engine (format.h), kept as text that tests and tools can read and
// search.
#pragma once

#include <cstdarg>
#include <cstddef>
#include <mutex>
#include <string>
#include <string_view>
#include <vector>

namespace talvor::kernel {

class Trace {
public:
  // Appends one DbgPrint's text; a line is complete at its '\n'. Everything
  // is kept (no ring buffer): a million trace lines are some tens of MB.
  void append(std::string_view text);
  void print(const char *format, va_list args); // format_kernel, then append

  std::string text() const;               // everything, as printed
  std::vector<std::string> lines() const; // complete lines without '\n',
                                          // then an unfinished one if any
  bool contains(std::string_view needle) const;
  // Non-overlapping occurrences in text(); 0 for an empty needle.
  std::size_t count(std::string_view needle) const;
  std::size_t size() const; // bytes of text()
  void clear();

  // Also write each DbgPrint to stderr as it happens.
  void set_echo(bool echo);
  // Whether text is kept at all: a long-running host (pcscd, a benchmark)
  // turns it off, or the trace grows without end.
  void set_retain(bool retain);

private:
  mutable std::mutex trace_lock_; // guards text_, echo_ and retain_
  std::string text_;
  bool echo_ = false;
  bool retain_ = true;
};

} // namespace talvor::kernel
