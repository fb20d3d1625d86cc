// The kernel's format engine: every conversion the driver's traces use, the
// Microsoft run-time's rules where they differ from C's, counted and wide
// strings.
#include <cstdarg>
#include <string>

#include <gtest/gtest.h>

#include <wdm.h>

#include "platform/kernel/format.h"

namespace talvor::test {
namespace {

using kernel::format_kernel;
using kernel::FormatFlavor;

// format_kernel from a variadic call, as DbgPrint hands it a va_list.
std::string format(const char *text, ...) {
  va_list args;
  va_start(args, text);
  std::string result = format_kernel(text, args);
  va_end(args);
  return result;
}

std::string format_wide_flavor(const char *text, ...) {
  va_list args;
  va_start(args, text);
  std::string result = format_kernel(text, args, FormatFlavor::Wide);
  va_end(args);
  return result;
}

// ---------------------------------------------------------------------------
// The driver's own trace formats, byte for byte.

TEST(FormatKernel, DriverTraceFormats) {
  EXPECT_EQ(format("%s!TLP3TransmitT0: <- Data %ld bytes, SW1=%02x SW2=%02x\n",
                   "SMCLIB", LONG{2}, UCHAR{0x90}, UCHAR{0x00}),
            "SMCLIB!TLP3TransmitT0: <- Data 2 bytes, SW1=90 SW2=00\n");
  EXPECT_EQ(format("%s!TLP3SetProtocol: Exit(%lx)\n", "SMCLIB",
                   NTSTATUS{STATUS_IO_TIMEOUT}),
            "SMCLIB!TLP3SetProtocol: Exit(c00000b5)\n");
  EXPECT_EQ(format("SmartcardInitialize,status=%X \n",
                   NTSTATUS{STATUS_INSUFFICIENT_RESOURCES}),
            "SmartcardInitialize,status=C000009A \n");
  EXPECT_EQ(format("\\DosDevices\\%s%01d", "SCReader", 0),
            "\\DosDevices\\SCReader0");
  EXPECT_EQ(format("\\DosDevices\\%s%01d", "SCReader", 127),
            "\\DosDevices\\SCReader127");
  EXPECT_EQ(
      format("IoCreateDevice,status=%X, DeviceCharacteristics=%d, "
             "Exclusive=%d \n",
             0, 128, 0),
      "IoCreateDevice,status=0, DeviceCharacteristics=128, Exclusive=0 \n");
  EXPECT_EQ(format("EX: Pageable code called at IRQL %d\n", 2),
            "EX: Pageable code called at IRQL 2\n");
  EXPECT_EQ(format("Uscr!UscrPower SystemPower, set D%X\n", 3),
            "Uscr!UscrPower SystemPower, set D3\n");
  EXPECT_EQ(format("       - Time Out is %d\n", 300),
            "       - Time Out is 300\n");
  EXPECT_EQ(format("Class, subclass, protocol 0x%x 0x%x 0x%x\n", 0x0B, 0, 0),
            "Class, subclass, protocol 0xb 0x0 0x0\n");
  EXPECT_EQ(format("TimeOut=%X (100ns)\n", ULONG{0xFFFF3CB0}),
            "TimeOut=FFFF3CB0 (100ns)\n");
  EXPECT_EQ(
      format("Uscr!CBCardPower: Enter, Request = %s\n", "SCARD_COLD_RESET"),
      "Uscr!CBCardPower: Enter, Request = SCARD_COLD_RESET\n");
}

// The driver prints pointers with %X and %lx, as a 64-bit Windows kernel
// does: the low 32 bits of the pointer.
TEST(FormatKernel, PointersThroughThirtyTwoBitConversions) {
  // NOLINTNEXTLINE(performance-no-int-to-ptr): an address to print
  auto *irp = reinterpret_cast<void *>(std::uintptr_t{0xFFFFA8001234ABCD});
  EXPECT_EQ(format("Uscr!CBUpdateCardState: Completing Irp %lx\n", irp),
            "Uscr!CBUpdateCardState: Completing Irp 1234abcd\n");
  EXPECT_EQ(format("~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~(urb=%X)(%X) "
                   "ExAllocatePool+++\n",
                   irp, 0x68),
            "~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~~(urb=1234ABCD)(68) "
            "ExAllocatePool+++\n");
}

// ---------------------------------------------------------------------------
// Integers

TEST(FormatKernel, IntegerConversions) {
  EXPECT_EQ(format("%d %i %u", -7, 42, 4000000000u), "-7 42 4000000000");
  EXPECT_EQ(format("%x %X %o", 0xBEEFu, 0xBEEFu, 8u), "beef BEEF 10");
  EXPECT_EQ(format("%d", INT32_MIN), "-2147483648");
  EXPECT_EQ(format("%u", 0u), "0");
}

TEST(FormatKernel, SizePrefixes) {
  // l is 32 bits, as long is on Windows: a ULONG argument, read as one.
  EXPECT_EQ(format("%lx %ld %lu", ULONG{0xDEADBEEF}, LONG{-5}, ULONG{7}),
            "deadbeef -5 7");
  EXPECT_EQ(format("%lx|%d", ULONGLONG{0x1122334455667788}, 9), "55667788|9");
  EXPECT_EQ(format("%I64x %llX %I64d", ULONGLONG{0x1122334455667788},
                   ULONGLONG{0xABCDEF0123456789}, LONGLONG{-1}),
            "1122334455667788 ABCDEF0123456789 -1");
  EXPECT_EQ(format("%I32x %Ix %zu %Iu", 0xCAFEu, SIZE_T{0x123456789},
                   SIZE_T{10000000000}, ULONG_PTR{1}),
            "cafe 123456789 10000000000 1");
  EXPECT_EQ(format("%hx %hd %hu", 0x12345, 0x8000, 0x1FFFF),
            "2345 -32768 65535");
  EXPECT_EQ(format("%hhx %hhd", 0x1FF, 0x80), "ff -128");
  EXPECT_EQ(format("%wd", 12), "12"); // w means nothing to an integer
}

TEST(FormatKernel, Pointers) {
  EXPECT_EQ(format("%p", reinterpret_cast<void *>(0x1234ABCD)),
            "000000001234ABCD");
  EXPECT_EQ(format("%p", static_cast<void *>(nullptr)), "0000000000000000");
  EXPECT_EQ(format("[%20p]", reinterpret_cast<void *>(0xFF)),
            "[    00000000000000FF]");
  EXPECT_EQ(format("%#p", reinterpret_cast<void *>(0xFF)),
            "0X00000000000000FF");
}

TEST(FormatKernel, FlagsWidthAndPrecision) {
  EXPECT_EQ(format("[%5d]", 42), "[   42]");
  EXPECT_EQ(format("[%-5d]", 42), "[42   ]");
  EXPECT_EQ(format("[%05d]", -42), "[-0042]");
  EXPECT_EQ(format("[%+d] [%+d] [% d]", 42, -42, 42), "[+42] [-42] [ 42]");
  EXPECT_EQ(format("[%+u]", 42u), "[42]"); // no sign on unsigned
  EXPECT_EQ(format("%#x %#X %#x", 42, 42, 0), "0x2a 0X2A 0");
  EXPECT_EQ(format("%#o %#o", 8, 0), "010 0");
  EXPECT_EQ(format("%#06x", 42), "0x002a");
  EXPECT_EQ(format("[%.3d] [%.0d] [%.0x]", 5, 0, 0), "[005] [] []");
  EXPECT_EQ(format("[%8.3d] [%08.3d]", 5, 5), "[     005] [     005]");
  EXPECT_EQ(format("[%-08d]", 5), "[5       ]");
  EXPECT_EQ(format("[%02x]", 0x123), "[123]");
}

TEST(FormatKernel, StarWidthAndPrecision) {
  EXPECT_EQ(format("[%*d]", 5, 42), "[   42]");
  EXPECT_EQ(format("[%*d]", -5, 42), "[42   ]"); // negative: left-justified
  EXPECT_EQ(format("[%-*d]", 5, 42), "[42   ]");
  EXPECT_EQ(format("[%.*d]", 4, 42), "[0042]");
  EXPECT_EQ(format("[%.*d]", -1, 42), "[42]"); // negative: as if none
  EXPECT_EQ(format("[%*.*s]", 6, 3, "abcdef"), "[   abc]");
}

// ---------------------------------------------------------------------------
// Characters and strings

TEST(FormatKernel, Characters) {
  EXPECT_EQ(format("%c%c", 'o', 'k'), "ok");
  EXPECT_EQ(format("[%3c] [%-3c]", 'x', 'y'), "[  x] [y  ]");
  EXPECT_EQ(format("%C %wc %lc %hc", u'\u00e9', u'\u20ac', u'A', 'B'),
            "\u00e9 \u20ac A B");
  EXPECT_EQ(format("%C", 0xD800), "\uFFFD"); // a lone surrogate
}

TEST(FormatKernel, NarrowStrings) {
  EXPECT_EQ(format("%s", "SMCLIB"), "SMCLIB");
  EXPECT_EQ(format("[%10s] [%-10s]", "abc", "abc"),
            "[       abc] [abc       ]");
  EXPECT_EQ(format("[%.2s]", "abc"), "[ab]");
  EXPECT_EQ(format("%hs", "narrow"), "narrow");
  EXPECT_EQ(format("%hS", "narrow"), "narrow");
  // The Microsoft run-time pads strings with zeros too.
  EXPECT_EQ(format("[%05s]", "ab"), "[000ab]");
  // Precision bounds the read: the text needs no terminator.
  const char unterminated[4] = {'a', 'b', 'c', 'd'};
  EXPECT_EQ(format("%.4s", unterminated), "abcd");
}

TEST(FormatKernel, WideStringsBecomeUtf8) {
  EXPECT_EQ(format("%ws", u"Gr\u00fc\u00dfe"), "Gr\u00fc\u00dfe");
  EXPECT_EQ(format("%S|%ls", u"abc", u"\u20ac"), "abc|\u20ac");
  EXPECT_EQ(format("%ws", u"\U0001F600"), "\U0001F600"); // a surrogate pair
  EXPECT_EQ(format("[%6ws] [%.2ws]", u"abc", u"abc"), "[   abc] [ab]");
  const char16_t unterminated[3] = {u'x', u'y', u'z'};
  EXPECT_EQ(format("%.3ws", unterminated), "xyz");
}

TEST(FormatKernel, NullStringsPrintNull) {
  EXPECT_EQ(format("%s", static_cast<const char *>(nullptr)), "(null)");
  EXPECT_EQ(format("%ws", static_cast<const char16_t *>(nullptr)), "(null)");
  EXPECT_EQ(format("%S", static_cast<const char16_t *>(nullptr)), "(null)");
  EXPECT_EQ(format("[%.3s]", static_cast<const char *>(nullptr)), "[(nu]");
  EXPECT_EQ(format("%Z", static_cast<PANSI_STRING>(nullptr)), "(null)");
  EXPECT_EQ(format("%wZ", static_cast<PUNICODE_STRING>(nullptr)), "(null)");
  UNICODE_STRING empty{0, 0, nullptr};
  EXPECT_EQ(format("%wZ", &empty), "(null)");
  ANSI_STRING empty_ansi{0, 0, nullptr};
  EXPECT_EQ(format("%Z", &empty_ansi), "(null)");
}

TEST(FormatKernel, CountedStringsReadExactlyTheirLength) {
  // Neither string is terminated where its Length ends; the formatter must
  // stop there (the guard characters after it never show).
  char16_t wide[] = {u'S', u'C', u'R', u'0', u'#', u'#'};
  UNICODE_STRING unicode{4 * sizeof(char16_t), sizeof wide, wide};
  EXPECT_EQ(format("[%wZ]", &unicode), "[SCR0]");
  EXPECT_EQ(format("[%6wZ] [%-6wZ]", &unicode, &unicode), "[  SCR0] [SCR0  ]");
  // Precision does not apply to counted strings (Microsoft run-time).
  EXPECT_EQ(format("[%.2wZ]", &unicode), "[SCR0]");
  char narrow[] = {'a', 'b', 'c', '#'};
  ANSI_STRING ansi{3, sizeof narrow, narrow};
  EXPECT_EQ(format("[%Z] [%hZ]", &ansi, &ansi), "[abc] [abc]");
  UNICODE_STRING zero_length{0, sizeof wide, wide};
  EXPECT_EQ(format("[%wZ]", &zero_length), "[]");
}

// ---------------------------------------------------------------------------
// What is not a conversion

TEST(FormatKernel, PercentAndUnknownConversions) {
  EXPECT_EQ(format("100%%"), "100%");
  // Copied as written; no argument read, so later ones still line up.
  EXPECT_EQ(format("%q %d", 7), "%q 7");
  EXPECT_EQ(format("%5.2q|%d", 7), "%5.2q|7");
  EXPECT_EQ(format("%n%d", 3), "%n3");
  EXPECT_EQ(format("tail %"), "tail %");
  EXPECT_EQ(format("tail %-5"), "tail %-5");
  EXPECT_EQ(format("no conversions"), "no conversions");
  EXPECT_EQ(format(""), "");
}

TEST(FormatKernel, FloatingPoint) {
  EXPECT_EQ(format("%.2f %e %g", 3.14159, 1.5, 0.25), "3.14 1.500000e+00 0.25");
  EXPECT_EQ(format("[%8.3f] [%-8.1f]", 2.5, 2.5), "[   2.500] [2.5     ]");
}

TEST(FormatKernel, NullFormatGivesNothing) {
  EXPECT_EQ(format(nullptr), "");
}

TEST(FormatKernel, WideFlavorSwapsTheDefaultStringWidth) {
  EXPECT_EQ(
      format_wide_flavor("%s|%S|%hs|%ls", u"wide", "narrow", "narrow", u"wide"),
      "wide|narrow|narrow|wide");
  EXPECT_EQ(format_wide_flavor("%c%C", u'\u00e9', 'x'), "\u00e9x");
  // Narrow text is ANSI (Latin-1) there.
  EXPECT_EQ(format_wide_flavor("%S", "caf\xe9"), "caf\u00e9");
}

TEST(FormatKernel, FindsWideTextConversions) {
  using kernel::format_reads_wide_text;
  EXPECT_TRUE(format_reads_wide_text("%ws"));
  EXPECT_TRUE(format_reads_wide_text("name %wZ\n"));
  EXPECT_TRUE(format_reads_wide_text("%S"));
  EXPECT_TRUE(format_reads_wide_text("%C"));
  EXPECT_TRUE(format_reads_wide_text("%-5lc"));
  EXPECT_FALSE(format_reads_wide_text("%s %Z %d %hs %hS %hC %lx %%S"));
  EXPECT_FALSE(format_reads_wide_text(nullptr));
  EXPECT_TRUE(format_reads_wide_text("%s", FormatFlavor::Wide));
}

} // namespace
} // namespace talvor::test
