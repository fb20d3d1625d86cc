// The trace: what DbgPrint printed, kept for tests and tools to read.
#include "platform/kernel/trace.h"

#include <cstdio>

#include "platform/kernel/format.h"

namespace talvor::kernel {

void Trace::append(std::string_view text) {
  std::lock_guard lock(trace_lock_);
  if (retain_)
    text_.append(text);
  if (echo_ && !text.empty()) {
    std::fwrite(text.data(), 1, text.size(), stderr);
    std::fflush(stderr);
  }
}

void Trace::print(const char *format, va_list args) {
  {
    std::lock_guard lock(trace_lock_);
    if (!retain_ && !echo_)
      return; // nobody reads it: not even formatted
  }
  append(format_kernel(format, args));
}

std::string Trace::text() const {
  std::lock_guard lock(trace_lock_);
  return text_;
}

std::vector<std::string> Trace::lines() const {
  std::lock_guard lock(trace_lock_);
  std::vector<std::string> lines;
  std::size_t start = 0;
  while (start < text_.size()) {
    std::size_t end = text_.find('\n', start);
    if (end == std::string::npos) {
      lines.emplace_back(text_, start); // the unfinished last line
      break;
    }
    lines.emplace_back(text_, start, end - start);
    start = end + 1;
  }
  return lines;
}

bool Trace::contains(std::string_view needle) const {
  std::lock_guard lock(trace_lock_);
  return std::string_view(text_).find(needle) != std::string_view::npos;
}

std::size_t Trace::count(std::string_view needle) const {
  if (needle.empty())
    return 0;
  std::lock_guard lock(trace_lock_);
  std::string_view text(text_);
  std::size_t found = 0;
  for (std::size_t at = text.find(needle); at != std::string_view::npos;
       at = text.find(needle, at + needle.size()))
    ++found;
  return found;
}

std::size_t Trace::size() const {
  std::lock_guard lock(trace_lock_);
  return text_.size();
}

void Trace::clear() {
  std::lock_guard lock(trace_lock_);
  text_.clear();
}

void Trace::set_echo(bool echo) {
  std::lock_guard lock(trace_lock_);
  echo_ = echo;
}

void Trace::set_retain(bool retain) {
  std::lock_guard lock(trace_lock_);
  retain_ = retain;
  if (!retain)
    text_.clear();
}

} // namespace talvor::kernel
