// The built command, run as a user runs it.
#include <array>
#include <cstdio>
#include <string>
#include <sys/wait.h>

#include <gtest/gtest.h>

namespace {

struct Outcome {
  int code = -1;
  std::string output; // stdout and stderr together
};

Outcome run(const std::string &arguments) {
  Outcome outcome;
  const std::string command =
      std::string(TALVOR_BINARY) + " " + arguments + " 2>&1";
  FILE *pipe = ::popen(command.c_str(), "r");
  if (pipe == nullptr)
    return outcome;
  std::array<char, 4096> chunk;
  std::size_t got;
  while ((got = std::fread(chunk.data(), 1, chunk.size(), pipe)) > 0)
    outcome.output.append(chunk.data(), got);
  const int status = ::pclose(pipe);
  outcome.code = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
  return outcome;
}

TEST(TalvorCommand, DemoOnTheRealTimeClockEndsWell) {
  const Outcome demo = run("demo --realtime");
  EXPECT_EQ(demo.code, 0) << demo.output;
  EXPECT_NE(demo.output.find("\nremove reader                     "
                             "STATUS_SUCCESS (0x00000000)\n"),
            std::string::npos)
      << demo.output;
}

TEST(TalvorCommand, TraceComesBetweenTheSteps) {
  const Outcome traced = run("demo --trace");
  EXPECT_EQ(traced.code, 0);
  const auto entered =
      traced.output.find("Uscr!CBCardPower: Enter, Request = ColdReset\n");
  const auto before = traced.output.find("\ntrack present ");
  const auto after = traced.output.find("\npower cold ");
  ASSERT_NE(entered, std::string::npos);
  EXPECT_LT(before, entered);
  EXPECT_LT(entered, after);
  EXPECT_EQ(run("demo").output.find("Uscr!"), std::string::npos);
}

TEST(TalvorCommand, BadInputIsOneLine) {
  const Outcome wrong = run("apdu --card t0 --protocol t2 0000");
  EXPECT_EQ(wrong.code, 2);
  EXPECT_EQ(wrong.output, "talvor: --protocol takes t0 or t1, not t2\n");
  const Outcome help = run("--help");
  EXPECT_EQ(help.code, 0);
  EXPECT_EQ(help.output.rfind("usage: talvor COMMAND", 0), 0u);
}

} // namespace
