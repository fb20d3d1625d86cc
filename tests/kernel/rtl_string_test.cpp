// The run-time library's counted strings and the strsafe routines: lengths in
// bytes, MaximumLength respected, the documented status when a result does
// not fit, pool-backed conversions that are freed (or found leaking), and the
// driver's own uses compiled as driver code.
#include <cstring>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <ntstrsafe.h>

#include "tests/kernel/driver/rtl_driver.h"
#include "tests/support/sim.h"

namespace talvor::test {
namespace {

using kernel::FindingKind;

constexpr ULONG string_tag = kernel::make_pool_tag("Strg");

std::u16string text_of(const UNICODE_STRING &string) {
  return std::u16string(string.Buffer, string.Length / sizeof(WCHAR));
}

std::string text_of(const ANSI_STRING &string) {
  return std::string(string.Buffer, string.Length);
}

// ---------------------------------------------------------------------------
// Pure routines (no pool, no IRQL rule): callable from any thread

TEST(RtlString, CompareMemoryCountsTheEqualPrefix) {
  const char a[] = "SCReader0", b[] = "SCReader1";
  EXPECT_EQ(RtlCompareMemory(a, b, sizeof a), 8u);
  EXPECT_EQ(RtlCompareMemory(a, a, sizeof a), sizeof a);
  EXPECT_EQ(RtlCompareMemory(a, b, 0), 0u);
}

TEST(RtlString, InitUnicodeString) {
  UNICODE_STRING name;
  RtlInitUnicodeString(&name, u"SCReader");
  EXPECT_EQ(name.Length, 16);
  EXPECT_EQ(name.MaximumLength, 18);
  EXPECT_EQ(text_of(name), u"SCReader");
  RtlInitUnicodeString(&name, nullptr);
  EXPECT_EQ(name.Length, 0);
  EXPECT_EQ(name.MaximumLength, 0);
  EXPECT_EQ(name.Buffer, nullptr);
}

TEST(RtlString, InitClampsLongStringsAsWindowsDoes) {
  std::u16string long_wide(0x9000, u'x');
  UNICODE_STRING wide;
  RtlInitUnicodeString(&wide, long_wide.c_str());
  EXPECT_EQ(wide.Length, 0xFFFC);
  EXPECT_EQ(wide.MaximumLength, 0xFFFE);
  std::string long_narrow(0x12000, 'x');
  ANSI_STRING narrow;
  RtlInitAnsiString(&narrow, long_narrow.c_str());
  EXPECT_EQ(narrow.Length, 0xFFFE);
  EXPECT_EQ(narrow.MaximumLength, 0xFFFF);
  STRING plain;
  RtlInitString(&plain, "abc");
  EXPECT_EQ(plain.Length, 3);
  EXPECT_EQ(plain.MaximumLength, 4);
  RtlInitString(&plain, nullptr);
  EXPECT_EQ(plain.Length, 0);
  EXPECT_EQ(plain.Buffer, nullptr);
}

TEST(RtlString, CopyUnicodeStringTruncatesToTheDestination) {
  UNICODE_STRING source;
  RtlInitUnicodeString(&source, u"SCReader");
  WCHAR storage[5] = {u'#', u'#', u'#', u'#', u'#'};
  UNICODE_STRING target = {0, 8, storage}; // four characters, no terminator
  RtlCopyUnicodeString(&target, &source);
  EXPECT_EQ(text_of(target), u"SCRe");
  EXPECT_EQ(storage[4], u'#'); // nothing written past MaximumLength

  target.MaximumLength = sizeof storage;
  RtlInitUnicodeString(&source, u"ab");
  RtlCopyUnicodeString(&target, &source);
  EXPECT_EQ(text_of(target), u"ab");
  EXPECT_EQ(storage[2], 0); // terminated when there is room

  RtlCopyUnicodeString(&target, nullptr);
  EXPECT_EQ(target.Length, 0);
}

TEST(RtlString, CopyNeverOverrunsAnOddMaximumLength) {
  UNICODE_STRING source;
  RtlInitUnicodeString(&source, u"abc");
  unsigned char storage[8];
  std::memset(storage, 0xEE, sizeof storage);
  UNICODE_STRING target = {0, 5, reinterpret_cast<PWSTR>(storage)};
  RtlCopyUnicodeString(&target, &source);
  EXPECT_EQ(target.Length, 4);
  EXPECT_EQ(storage[4], 0xEE); // the zero would need bytes 4 and 5
  EXPECT_EQ(storage[5], 0xEE);
}

TEST(RtlString, AppendRespectsMaximumLength) {
  WCHAR storage[8];
  UNICODE_STRING target = {0, sizeof storage, storage};
  UNICODE_STRING piece;
  RtlInitUnicodeString(&piece, u"SCR");
  EXPECT_EQ(RtlAppendUnicodeStringToString(&target, &piece), STATUS_SUCCESS);
  EXPECT_EQ(RtlAppendUnicodeToString(&target, u"eader"), STATUS_SUCCESS);
  EXPECT_EQ(text_of(target), u"SCReader");
  // Full: both refuse and change nothing.
  EXPECT_EQ(RtlAppendUnicodeToString(&target, u"0"), STATUS_BUFFER_TOO_SMALL);
  RtlInitUnicodeString(&piece, u"0");
  EXPECT_EQ(RtlAppendUnicodeStringToString(&target, &piece),
            STATUS_BUFFER_TOO_SMALL);
  EXPECT_EQ(text_of(target), u"SCReader");
  // Appending nothing always succeeds.
  EXPECT_EQ(RtlAppendUnicodeToString(&target, nullptr), STATUS_SUCCESS);
  EXPECT_EQ(RtlAppendUnicodeToString(&target, u""), STATUS_SUCCESS);
}

TEST(RtlString, AppendTerminatesWhenThereIsRoom) {
  WCHAR storage[4] = {u'#', u'#', u'#', u'#'};
  UNICODE_STRING target = {0, sizeof storage, storage};
  EXPECT_EQ(RtlAppendUnicodeToString(&target, u"ab"), STATUS_SUCCESS);
  EXPECT_EQ(storage[2], 0);
}

// ---------------------------------------------------------------------------
// The routines with an IRQL rule or pool, from a kernel thread

class RtlStringTest : public SimTest {};

TEST_F(RtlStringTest, AnsiToUnicodeAllocatesAndFrees) {
  run([&] {
    ANSI_STRING ansi;
    RtlInitAnsiString(&ansi, "\\DosDevices\\SCReader0");
    UNICODE_STRING wide = {};
    ASSERT_EQ(RtlAnsiStringToUnicodeString(&wide, &ansi, TRUE), STATUS_SUCCESS);
    EXPECT_EQ(text_of(wide), u"\\DosDevices\\SCReader0");
    EXPECT_EQ(wide.Length, 2 * ansi.Length);
    EXPECT_EQ(wide.MaximumLength, wide.Length + sizeof(WCHAR));
    EXPECT_EQ(wide.Buffer[ansi.Length], 0);
    auto stats = kernel().pool().stats(string_tag);
    EXPECT_EQ(stats.outstanding, 1u);
    EXPECT_EQ(stats.outstanding_bytes, wide.MaximumLength);
    RtlFreeUnicodeString(&wide);
    EXPECT_EQ(wide.Buffer, nullptr);
    EXPECT_EQ(wide.Length, 0);
    EXPECT_EQ(kernel().pool().stats(string_tag).outstanding, 0u);
    RtlFreeUnicodeString(&wide); // an empty string: nothing to free
  });
}

TEST_F(RtlStringTest, AnsiToUnicodeIntoAGivenBuffer) {
  run([] {
    char text[] = {'a', 'b', 'c', 'X'}; // counted, not terminated
    ANSI_STRING ansi = {3, sizeof text, text};
    WCHAR storage[4];
    UNICODE_STRING wide = {0, sizeof storage, storage};
    EXPECT_EQ(RtlAnsiStringToUnicodeString(&wide, &ansi, FALSE),
              STATUS_SUCCESS);
    EXPECT_EQ(text_of(wide), u"abc");
    EXPECT_EQ(storage[3], 0);

    WCHAR small[3]; // no room for the terminator
    UNICODE_STRING cut = {0, sizeof small, small};
    EXPECT_EQ(RtlAnsiStringToUnicodeString(&cut, &ansi, FALSE),
              STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(cut.Length, 0); // untouched
  });
}

TEST_F(RtlStringTest, AnsiIsLatin1) {
  run([] {
    char text[] = "caf\xe9";
    ANSI_STRING ansi;
    RtlInitAnsiString(&ansi, text);
    UNICODE_STRING wide = {};
    ASSERT_EQ(RtlAnsiStringToUnicodeString(&wide, &ansi, TRUE), STATUS_SUCCESS);
    EXPECT_EQ(text_of(wide), u"caf\u00e9");
    RtlFreeUnicodeString(&wide);

    UNICODE_STRING source;
    RtlInitUnicodeString(&source, u"\u00e9\u20ac!");
    ANSI_STRING back = {};
    ASSERT_EQ(RtlUnicodeStringToAnsiString(&back, &source, TRUE),
              STATUS_SUCCESS);
    EXPECT_EQ(text_of(back), "\xe9?!"); // no Latin-1 euro: the default char
    EXPECT_EQ(back.Buffer[3], 0);
    RtlFreeAnsiString(&back);
    EXPECT_EQ(back.Buffer, nullptr);
  });
}

TEST_F(RtlStringTest, AnsiTooLongForAUnicodeString) {
  run([] {
    std::string text(0x7FFF, 'x'); // (0x7FFF + 1) * 2 bytes > 0xFFFE
    ANSI_STRING ansi = {static_cast<USHORT>(text.size()),
                        static_cast<USHORT>(text.size()), text.data()};
    UNICODE_STRING wide = {};
    EXPECT_EQ(RtlAnsiStringToUnicodeString(&wide, &ansi, TRUE),
              STATUS_INVALID_PARAMETER_2);
    EXPECT_EQ(wide.Buffer, nullptr);
  });
}

TEST_F(RtlStringTest, UnicodeToAnsiTruncatesWithOverflow) {
  run([] {
    UNICODE_STRING source;
    RtlInitUnicodeString(&source, u"abcdef");
    char storage[4];
    ANSI_STRING cut = {0, sizeof storage, storage};
    // Windows converts what fits, terminates it and returns the warning.
    EXPECT_EQ(RtlUnicodeStringToAnsiString(&cut, &source, FALSE),
              STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(text_of(cut), "abc");
    EXPECT_EQ(storage[3], 0);

    ANSI_STRING none = {0, 0, storage};
    EXPECT_EQ(RtlUnicodeStringToAnsiString(&none, &source, FALSE),
              STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(none.Length, 0);

    char room[7];
    ANSI_STRING fits = {0, sizeof room, room};
    EXPECT_EQ(RtlUnicodeStringToAnsiString(&fits, &source, FALSE),
              STATUS_SUCCESS);
    EXPECT_EQ(text_of(fits), "abcdef");
  });
}

TEST_F(RtlStringTest, AllocationFailure) {
  kernel().pool().fail_tag(string_tag);
  run([] {
    ANSI_STRING ansi;
    RtlInitAnsiString(&ansi, "x");
    UNICODE_STRING wide = {};
    EXPECT_EQ(RtlAnsiStringToUnicodeString(&wide, &ansi, TRUE),
              STATUS_NO_MEMORY);
    EXPECT_EQ(wide.Buffer, nullptr);
    UNICODE_STRING source;
    RtlInitUnicodeString(&source, u"x");
    ANSI_STRING narrow = {};
    EXPECT_EQ(RtlUnicodeStringToAnsiString(&narrow, &source, TRUE),
              STATUS_NO_MEMORY);
  });
  kernel().pool().clear_faults();
}

TEST_F(RtlStringTest, ForgottenFreeIsALeak) {
  run([] {
    ANSI_STRING ansi;
    RtlInitAnsiString(&ansi, "leaked");
    UNICODE_STRING wide = {};
    ASSERT_EQ(RtlAnsiStringToUnicodeString(&wide, &ansi, TRUE), STATUS_SUCCESS);
  });
  // The teardown check runs once; the test takes what it planted.
  kernel().check_teardown();
  auto findings = kernel().verifier().take();
  ASSERT_EQ(findings.size(), 1u);
  EXPECT_EQ(findings[0].kind, FindingKind::PoolLeak);
  EXPECT_THAT(findings[0].message, ::testing::HasSubstr("Strg"));
}

TEST_F(RtlStringTest, FreeingAnInitialisedLiteralIsAnUnknownFree) {
  run([] {
    UNICODE_STRING literal;
    RtlInitUnicodeString(&literal, u"not from pool");
    RtlFreeUnicodeString(&literal);
  });
  EXPECT_EQ(kernel().verifier().count(FindingKind::PoolUnknownFree), 1u);
  kernel().verifier().take();
}

TEST_F(RtlStringTest, EqualAndCompare) {
  run([] {
    UNICODE_STRING a, b, c, shorter;
    RtlInitUnicodeString(&a, u"SCReader\u00e9");
    RtlInitUnicodeString(&b, u"screader\u00c9");
    RtlInitUnicodeString(&c, u"SCReader\u00e9");
    RtlInitUnicodeString(&shorter, u"SCRead");
    EXPECT_TRUE(RtlEqualUnicodeString(&a, &c, FALSE));
    EXPECT_FALSE(RtlEqualUnicodeString(&a, &b, FALSE));
    EXPECT_TRUE(RtlEqualUnicodeString(&a, &b, TRUE));
    EXPECT_FALSE(RtlEqualUnicodeString(&a, &shorter, TRUE));
    EXPECT_EQ(RtlCompareUnicodeString(&a, &c, FALSE), 0);
    EXPECT_EQ(RtlCompareUnicodeString(&a, &b, TRUE), 0);
    EXPECT_LT(RtlCompareUnicodeString(&a, &b, FALSE), 0); // 'S' < 's'
    EXPECT_GT(RtlCompareUnicodeString(&b, &a, FALSE), 0);
    EXPECT_GT(RtlCompareUnicodeString(&a, &shorter, FALSE), 0);
    EXPECT_LT(RtlCompareUnicodeString(&shorter, &a, TRUE), 0);
  });
}

TEST_F(RtlStringTest, IntegerToUnicodeString) {
  run([] {
    WCHAR storage[34];
    UNICODE_STRING text = {0, sizeof storage, storage};
    EXPECT_EQ(RtlIntegerToUnicodeString(1234, 0, &text), STATUS_SUCCESS);
    EXPECT_EQ(text_of(text), u"1234");
    EXPECT_EQ(storage[4], 0);
    EXPECT_EQ(RtlIntegerToUnicodeString(0xBEEF, 16, &text), STATUS_SUCCESS);
    EXPECT_EQ(text_of(text), u"BEEF");
    EXPECT_EQ(RtlIntegerToUnicodeString(8, 8, &text), STATUS_SUCCESS);
    EXPECT_EQ(text_of(text), u"10");
    EXPECT_EQ(RtlIntegerToUnicodeString(0xFFFFFFFF, 2, &text), STATUS_SUCCESS);
    EXPECT_EQ(text.Length, 64);
    EXPECT_EQ(RtlIntegerToUnicodeString(0, 10, &text), STATUS_SUCCESS);
    EXPECT_EQ(text_of(text), u"0");
    EXPECT_EQ(RtlIntegerToUnicodeString(5, 7, &text), STATUS_INVALID_PARAMETER);

    WCHAR small[4]; // three digits and the terminator
    UNICODE_STRING cut = {0, sizeof small, small};
    EXPECT_EQ(RtlIntegerToUnicodeString(999, 10, &cut), STATUS_SUCCESS);
    EXPECT_EQ(RtlIntegerToUnicodeString(1000, 10, &cut),
              STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(text_of(cut), u"999");
  });
}

TEST_F(RtlStringTest, UnicodeStringToInteger) {
  run([] {
    auto parse_into = [](const char16_t *text, ULONG base, PULONG value) {
      UNICODE_STRING string;
      RtlInitUnicodeString(&string, text);
      return RtlUnicodeStringToInteger(&string, base, value);
    };
    auto parse = [&](const char16_t *text, ULONG base, ULONG &value) {
      return parse_into(text, base, &value);
    };
    ULONG value = 0;
    EXPECT_EQ(parse(u"1234", 0, value), STATUS_SUCCESS);
    EXPECT_EQ(value, 1234u);
    EXPECT_EQ(parse(u"  -12", 10, value), STATUS_SUCCESS);
    EXPECT_EQ(value, 0u - 12u);
    EXPECT_EQ(parse(u"+0x1F", 0, value), STATUS_SUCCESS);
    EXPECT_EQ(value, 31u);
    EXPECT_EQ(parse(u"0b101", 0, value), STATUS_SUCCESS);
    EXPECT_EQ(value, 5u);
    EXPECT_EQ(parse(u"0o17", 0, value), STATUS_SUCCESS);
    EXPECT_EQ(value, 15u);
    EXPECT_EQ(parse(u"1f", 16, value), STATUS_SUCCESS);
    EXPECT_EQ(value, 31u);
    EXPECT_EQ(parse(u"12abc", 10, value), STATUS_SUCCESS); // stops at 'a'
    EXPECT_EQ(value, 12u);
    EXPECT_EQ(parse(u"", 10, value), STATUS_SUCCESS);
    EXPECT_EQ(value, 0u);
    EXPECT_EQ(parse(u"12", 7, value), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(parse_into(u"12", 10, nullptr), STATUS_ACCESS_VIOLATION);

    // Only Length counts: the characters after it are not read.
    WCHAR digits[] = {u'1', u'2', u'3', u'4', u'5', u'6'};
    UNICODE_STRING counted = {3 * sizeof(WCHAR), sizeof digits, digits};
    EXPECT_EQ(RtlUnicodeStringToInteger(&counted, 10, &value), STATUS_SUCCESS);
    EXPECT_EQ(value, 123u);
  });
}

TEST_F(RtlStringTest, PageableRoutinesAboveApcLevelAreFindings) {
  run([] {
    UNICODE_STRING a;
    RtlInitUnicodeString(&a, u"a"); // any IRQL up to DISPATCH_LEVEL
    KIRQL old;
    KeRaiseIrql(DISPATCH_LEVEL, &old);
    RtlInitUnicodeString(&a, u"a");
    EXPECT_TRUE(RtlEqualUnicodeString(&a, &a, TRUE));
    KeLowerIrql(old);
  });
  auto findings = kernel().verifier().take();
  ASSERT_EQ(findings.size(), 1u);
  EXPECT_EQ(findings[0].kind, FindingKind::PageableAtRaisedIrql);
  EXPECT_THAT(findings[0].message,
              ::testing::HasSubstr("RtlEqualUnicodeString"));
}

TEST_F(RtlStringTest, NullStructureIsAFinding) {
  run([] {
    RtlInitUnicodeString(nullptr, u"x");
    EXPECT_EQ(RtlAppendUnicodeToString(nullptr, u"x"),
              STATUS_INVALID_PARAMETER);
  });
  EXPECT_EQ(kernel().verifier().count(FindingKind::ObjectMisuse), 2u);
  kernel().verifier().take();
}

// ---------------------------------------------------------------------------
// The driver's uses, compiled as driver code

TEST_F(RtlStringTest, DriverDeviceName) {
  run([] {
    UNICODE_STRING name = {};
    ASSERT_EQ(RtlTestMakeDeviceName(3, &name), STATUS_SUCCESS);
    EXPECT_EQ(text_of(name), u"\\DosDevices\\SCReader3");
    RtlFreeUnicodeString(&name);
    ASSERT_EQ(RtlTestMakeDeviceName(127, &name), STATUS_SUCCESS);
    EXPECT_EQ(text_of(name), u"\\DosDevices\\SCReader127");
    RtlFreeUnicodeString(&name);
  });
  EXPECT_THAT(
      kernel().trace().lines(),
      ::testing::ElementsAre("Reader Device Name =\\DosDevices\\SCReader3",
                             "Reader Device Name =\\DosDevices\\SCReader127"));
}

TEST_F(RtlStringTest, DriverWideName) {
  run([] {
    WCHAR buffer[16];
    EXPECT_EQ(RtlTestWideName(buffer, sizeof buffer, 42), STATUS_SUCCESS);
    EXPECT_EQ(std::u16string(buffer), u"SCReader42");
    WCHAR small[8];
    EXPECT_EQ(RtlTestWideName(small, sizeof small, 42), STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(std::u16string(small), u"SCReade");
  });
  EXPECT_EQ(kernel().trace().text(), "wide name SCReader42 (SCReader42)\n");
}

// ---------------------------------------------------------------------------
// ntstrsafe.h

TEST(StrSafe, PrintfA) {
  char buffer[32];
  EXPECT_EQ(RtlStringCbPrintfA(buffer, sizeof buffer, "\\DosDevices\\%s%01d",
                               "SCReader", 5),
            STATUS_SUCCESS);
  EXPECT_STREQ(buffer, "\\DosDevices\\SCReader5");
  EXPECT_EQ(RtlStringCchPrintfA(buffer, 8, "%s", "SCReader"),
            STATUS_BUFFER_OVERFLOW);
  EXPECT_STREQ(buffer, "SCReade"); // cut short, terminated
  EXPECT_EQ(RtlStringCchPrintfA(buffer, 9, "%s", "SCReader"), STATUS_SUCCESS);
  EXPECT_STREQ(buffer, "SCReader");
  // The kernel's conversions: %lx is 32 bits, %wZ a counted string.
  UNICODE_STRING name;
  RtlInitUnicodeString(&name, u"Uscr");
  EXPECT_EQ(RtlStringCbPrintfA(buffer, sizeof buffer, "%wZ %lx", &name,
                               ULONG{0xC0000001}),
            STATUS_SUCCESS);
  EXPECT_STREQ(buffer, "Uscr c0000001");
}

NTSTATUS v_printf(char *buffer, size_t size, const char *format, ...) {
  va_list args;
  va_start(args, format);
  NTSTATUS status = RtlStringCbVPrintfA(buffer, size, format, args);
  va_end(args);
  return status;
}

TEST(StrSafe, VPrintfA) {
  char buffer[6];
  EXPECT_EQ(v_printf(buffer, sizeof buffer, "%d-%d", 12, 34), STATUS_SUCCESS);
  EXPECT_STREQ(buffer, "12-34");
  EXPECT_EQ(v_printf(buffer, sizeof buffer, "%d-%d", 123, 456),
            STATUS_BUFFER_OVERFLOW);
  EXPECT_STREQ(buffer, "123-4");
}

TEST(StrSafe, InvalidSizesWriteNothing) {
  char buffer[4] = {'#', '#', '#', '#'};
  EXPECT_EQ(RtlStringCbPrintfA(buffer, 0, "x"), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(RtlStringCbCopyA(buffer, 0, "x"), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(RtlStringCchCopyA(buffer, size_t{NTSTRSAFE_MAX_CCH} + 1, "x"),
            STATUS_INVALID_PARAMETER);
  EXPECT_EQ(RtlStringCbCatA(buffer, 0, "x"), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(buffer[0], '#');
  WCHAR wide[2] = {u'#', u'#'};
  EXPECT_EQ(RtlStringCbCopyW(wide, 1, u"x"), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(wide[0], u'#');
}

TEST(StrSafe, CopyA) {
  char buffer[5];
  EXPECT_EQ(RtlStringCbCopyA(buffer, sizeof buffer, "abcd"), STATUS_SUCCESS);
  EXPECT_STREQ(buffer, "abcd");
  EXPECT_EQ(RtlStringCbCopyA(buffer, sizeof buffer, "abcde"),
            STATUS_BUFFER_OVERFLOW);
  EXPECT_STREQ(buffer, "abcd");
  EXPECT_EQ(RtlStringCchCopyA(buffer, 1, "abc"), STATUS_BUFFER_OVERFLOW);
  EXPECT_STREQ(buffer, "");
  EXPECT_EQ(RtlStringCchCopyA(buffer, sizeof buffer, nullptr),
            STATUS_INVALID_PARAMETER);
  EXPECT_STREQ(buffer, "");
}

TEST(StrSafe, LengthA) {
  size_t length = 99;
  EXPECT_EQ(RtlStringCbLengthA("abc", 4, &length), STATUS_SUCCESS);
  EXPECT_EQ(length, 3u);
  const char unterminated[3] = {'a', 'b', 'c'};
  length = 99;
  EXPECT_EQ(RtlStringCbLengthA(unterminated, sizeof unterminated, &length),
            STATUS_INVALID_PARAMETER);
  EXPECT_EQ(length, 0u);
  EXPECT_EQ(RtlStringCbLengthA(nullptr, 4, &length), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(RtlStringCbLengthA("abc", 0, &length), STATUS_INVALID_PARAMETER);
  EXPECT_EQ(RtlStringCbLengthA("abc", size_t{NTSTRSAFE_MAX_CCH} + 1, &length),
            STATUS_INVALID_PARAMETER);
  EXPECT_EQ(RtlStringCchLengthA("abc", 10, nullptr), STATUS_SUCCESS);
}

TEST(StrSafe, CatA) {
  char buffer[8] = "SCR";
  EXPECT_EQ(RtlStringCbCatA(buffer, sizeof buffer, "ead"), STATUS_SUCCESS);
  EXPECT_STREQ(buffer, "SCRead");
  EXPECT_EQ(RtlStringCbCatA(buffer, sizeof buffer, "er0"),
            STATUS_BUFFER_OVERFLOW);
  EXPECT_STREQ(buffer, "SCReade");
  char full[3] = {'a', 'b', 'c'}; // no terminator within the size
  EXPECT_EQ(RtlStringCchCatA(full, sizeof full, "x"), STATUS_INVALID_PARAMETER);
}

TEST(StrSafe, WideRoutines) {
  WCHAR buffer[12];
  EXPECT_EQ(RtlStringCbCopyW(buffer, sizeof buffer, u"SCReader"),
            STATUS_SUCCESS);
  EXPECT_EQ(std::u16string(buffer), u"SCReader");
  size_t bytes = 0;
  EXPECT_EQ(RtlStringCbLengthW(buffer, sizeof buffer, &bytes), STATUS_SUCCESS);
  EXPECT_EQ(bytes, 16u);
  EXPECT_EQ(RtlStringCbCatW(buffer, sizeof buffer, u"0"), STATUS_SUCCESS);
  EXPECT_EQ(std::u16string(buffer), u"SCReader0");
  EXPECT_EQ(RtlStringCchCopyW(buffer, 4, u"SCReader"), STATUS_BUFFER_OVERFLOW);
  EXPECT_EQ(std::u16string(buffer), u"SCR");

  // In the W printf a plain %s is wide and %S or %hs narrow.
  UNICODE_STRING counted;
  RtlInitUnicodeString(&counted, u"Z");
  EXPECT_EQ(RtlStringCbPrintfW(buffer, sizeof buffer, u"%s|%S|%hs|%wZ|%d",
                               u"\u00e9", "n", "h", &counted, 7),
            STATUS_SUCCESS);
  EXPECT_EQ(std::u16string(buffer), u"\u00e9|n|h|Z|7");
  EXPECT_EQ(RtlStringCchPrintfW(buffer, 5, u"%s", u"SCReader"),
            STATUS_BUFFER_OVERFLOW);
  EXPECT_EQ(std::u16string(buffer), u"SCRe");
  // Truncation counts UTF-16 units: a surrogate pair is two.
  EXPECT_EQ(RtlStringCchPrintfW(buffer, 3, u"%s", u"\U0001F600"),
            STATUS_SUCCESS);
  EXPECT_EQ(std::u16string(buffer), u"\U0001F600");
}

} // namespace
} // namespace talvor::test
