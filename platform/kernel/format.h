// The kernel's format engine: the Microsoft C run-time's printf rules, which
// DbgPrint, _vsnprintf and the strsafe routines share.
#pragma once

#include <cstdarg>
#include <string>

namespace talvor::kernel {

// Formats as the kernel's DbgPrint does (the Microsoft C run-time's rules,
// not the C standard's where they differ):
// - conversions %d %i %u %x %X %o %p %c %C %s %S %Z, the floating ones
//   %e %E %f %g %G %a %A, and %%;
// - size prefixes: h (short; narrow for c s S C Z), hh (char), l (32 bits as
//   on Windows, where long is 32 bits; wide for c s), ll and I64 (64 bits),
//   I32 (32 bits), I z t j (pointer-sized), w (wide for c s Z);
// - flags - + space # 0, width and precision, either of them as `*`;
// - %S and %C are the wide forms, %ws %ls %wc %lc too; %Z reads a
//   PANSI_STRING, %wZ a PUNICODE_STRING; wide text is UTF-16 and comes out
//   as UTF-8; narrow text is copied byte for byte;
// - %p prints the pointer as 16 upper-case hex digits ("%#p" adds "0X");
// - a null %s/%S/%ws pointer, a null %Z/%wZ pointer or a counted string
//   with a null Buffer prints "(null)";
// - a counted string is read for exactly Length bytes (no terminator
//   needed, none read past it); precision is ignored for %Z as the
//   Microsoft run-time ignores it;
// - an unknown conversion (%n included) is copied as written and reads no
//   argument; an incomplete one at the end of the format is copied too.
// Integer precision is capped at 512 digits and width at 1 MiB of padding.
std::string format_kernel(const char *format, va_list args);

// Whose rules the format follows: DbgPrint's and the narrow strsafe routines'
// (a plain %s and %c are narrow), or the wide strsafe routines' (a plain %s
// and %c are wide, a plain %S and %C narrow). The result is UTF-8 for both;
// with Wide, narrow text arguments are ANSI (Latin-1 in the hosted kernel)
// and are converted, with Narrow they are copied byte for byte.
enum class FormatFlavor { Narrow, Wide };
std::string format_kernel(const char *format, va_list args,
                          FormatFlavor flavor);

// Whether the format uses a conversion that reads wide text (%C %S %lc %ls
// %wc %ws %wZ): the kernel allows those only at PASSIVE_LEVEL.
bool format_reads_wide_text(const char *format,
                            FormatFlavor flavor = FormatFlavor::Narrow);

} // namespace talvor::kernel
