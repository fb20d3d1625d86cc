// The trace that keeps what DbgPrint printed, and DbgPrint itself.
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
using ::testing::ElementsAre;

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
