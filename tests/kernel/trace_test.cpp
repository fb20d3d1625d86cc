// The kernel's DbgPrint formatter (every conversion the driver's traces use,
// the Microsoft run-time's rules where they differ from C's, counted and
// wide strings), the trace that keeps the text, and DbgPrint itself.
#include <chrono>
#include <cstdarg>
#include <string>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "platform/kernel/trace.h"
#include "tests/support/sim.h"

namespace talvor::test {
namespace {

using kernel::FindingKind;
using kernel::format_kernel;
using kernel::FormatFlavor;
using ::testing::ElementsAre;

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

// ---------------------------------------------------------------------------
// The trace

TEST(Trace, KeepsTextAndSplitsLines) {
  kernel::Trace trace;
  trace.append("first ");
  trace.append("line\nsecond line\n");
  trace.append("unfinished");
  EXPECT_EQ(trace.text(), "first line\nsecond line\nunfinished");
  EXPECT_THAT(trace.lines(),
              ElementsAre("first line", "second line", "unfinished"));
  EXPECT_EQ(trace.size(), trace.text().size());
  EXPECT_TRUE(trace.contains("line\nsecond"));
  EXPECT_FALSE(trace.contains("third"));
  trace.clear();
  EXPECT_TRUE(trace.lines().empty());
  EXPECT_EQ(trace.size(), 0u);
}

TEST(Trace, EmptyLinesCount) {
  kernel::Trace trace;
  trace.append("\n\na\n");
  EXPECT_THAT(trace.lines(), ElementsAre("", "", "a"));
}

TEST(Trace, CountsNonOverlappingOccurrences) {
  kernel::Trace trace;
  trace.append("aaaa");
  EXPECT_EQ(trace.count("aa"), 2u);
  EXPECT_EQ(trace.count("a"), 4u);
  EXPECT_EQ(trace.count("b"), 0u);
  EXPECT_EQ(trace.count(""), 0u);
}

TEST(Trace, PrintFormats) {
  kernel::Trace trace;
  auto print = [&](const char *text, ...) {
    va_list args;
    va_start(args, text);
    trace.print(text, args);
    va_end(args);
  };
  print("%s!UscrCleanup: Exit\n", "Uscr");
  EXPECT_EQ(trace.text(), "Uscr!UscrCleanup: Exit\n");
}

TEST(Trace, AMillionLinesStaySearchable) {
  kernel::Trace trace;
  const std::string line =
      "Uscr!CBCardTracking: Enter ..............................\n";
  for (int i = 0; i < 1'000'000; ++i)
    trace.append(line);
  trace.append("Uscr!UscrUnloadDevice: Exit\n");
  auto started = std::chrono::steady_clock::now();
  EXPECT_EQ(trace.count("CBCardTracking"), 1'000'000u);
  EXPECT_TRUE(trace.contains("UscrUnloadDevice: Exit"));
  EXPECT_FALSE(trace.contains("never printed"));
  EXPECT_LT(std::chrono::steady_clock::now() - started,
            std::chrono::seconds(5));
  EXPECT_EQ(trace.lines().size(), 1'000'001u);
}

// ---------------------------------------------------------------------------
// DbgPrint, through the C API

class DbgPrintTest : public SimTest {};

TEST_F(DbgPrintTest, PrintsIntoTheKernelTrace) {
  run([] {
    EXPECT_EQ(DbgPrint("Uscr!UscrPower: PowerDevice D%X\n", 0), STATUS_SUCCESS);
    // Every component and level prints (no debug filter is modelled).
    EXPECT_EQ(
        DbgPrintEx(DPFLTR_IHVDRIVER_ID, DPFLTR_INFO_LEVEL, "level %d\n", 3),
        STATUS_SUCCESS);
    DbgPrintEx(0, 0xFFFFFFFF, "any level\n");
  });
  EXPECT_THAT(
      kernel().trace().lines(),
      ElementsAre("Uscr!UscrPower: PowerDevice D0", "level 3", "any level"));
}

ULONG v_print(const char *text, ...) {
  va_list args;
  va_start(args, text);
  ULONG status =
      vDbgPrintEx(DPFLTR_IHVDRIVER_ID, DPFLTR_ERROR_LEVEL, text, args);
  va_end(args);
  return status;
}

TEST_F(DbgPrintTest, VariantWithAnArgumentList) {
  run([] { EXPECT_EQ(v_print("%s=%lx\n", "status", ULONG{0x103}), 0u); });
  EXPECT_EQ(kernel().trace().text(), "status=103\n");
}

TEST_F(DbgPrintTest, WideTextAtPassiveLevelIsAllowed) {
  run([] {
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, u"\\Device\\SCReader0");
    DbgPrint("name %wZ %ws\n", &name, u"x");
  });
  EXPECT_EQ(kernel().trace().text(), "name \\Device\\SCReader0 x\n");
}

TEST_F(DbgPrintTest, WideTextAbovePassiveLevelIsAFinding) {
  run([] {
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    DbgPrint("at dispatch %ws\n", u"wide");
    DbgPrint("narrow is fine at dispatch %s\n", "narrow");
    KeLowerIrql(old);
  });
  EXPECT_TRUE(kernel().trace().contains("at dispatch wide\n"));
  EXPECT_EQ(kernel().verifier().count(FindingKind::IrqlMisuse), 1u);
  auto findings = kernel().verifier().take();
  ASSERT_EQ(findings.size(), 1u);
  EXPECT_THAT(findings[0].message, ::testing::HasSubstr("%ws"));
}

} // namespace
} // namespace talvor::test
