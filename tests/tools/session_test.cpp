// Sessions as the tool runs them: scripts with every step, the demo on both
// builds, and bad input, all under the simulation clock.
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <unistd.h>
#include <vector>

#include <gtest/gtest.h>

#include "tools/talvor/commands.h"
#include "tools/talvor/session.h"

namespace talvor::cli {
namespace {

namespace fsys = std::filesystem;

struct Outcome {
  int code = -1;
  std::string out, err;
};

Outcome talvor(const std::vector<std::string> &args) {
  std::ostringstream out, err;
  Outcome run;
  run.code = talvor_main(args, out, err);
  run.out = out.str();
  run.err = err.str();
  return run;
}

std::vector<std::string> lines(const std::string &text) {
  std::vector<std::string> found;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);)
    found.push_back(line);
  return found;
}

bool has_line(const std::string &text, const std::string &line) {
  for (const auto &each : lines(text))
    if (each == line)
      return true;
  return false;
}

class ScriptFiles : public ::testing::Test {
protected:
  void SetUp() override {
    dir_ = fsys::temp_directory_path() /
           ("talvor-cli-" + std::to_string(::getpid()));
    fsys::create_directories(dir_);
  }
  void TearDown() override {
    std::error_code ignored;
    fsys::remove_all(dir_, ignored);
  }
  std::string write(const std::string &name, const std::string &text) {
    const fsys::path path = dir_ / name;
    std::ofstream(path) << text;
    return path.string();
  }
  fsys::path dir_;
};

TEST_F(ScriptFiles, EveryStepKindRunsAndPrintsItsResult) {
  const std::string script =
      write("all.talvor", "# every step there is\n"
                          "load 1.0\n"
                          "plug instant\n"
                          "open\n"
                          "vendor write 5AA5\n"
                          "vendor read        # the register back\n"
                          "vendor i2c-command A000\n"
                          "vendor i2c-write 00112233\n"
                          "vendor i2c-command A000\n"
                          "vendor i2c-read 3\n"
                          "vendor 0x222038\n"
                          "expect STATUS_INVALID_DEVICE_REQUEST\n"
                          "power cold\n"
                          "expect STATUS_NO_MEDIA\n"
                          "track present\n"
                          "insert t0\n"
                          "power cold\n"
                          "power warm\n"
                          "protocol t0\n"
                          "apdu 00 B0 00 00 02 expect 6986\n"
                          "apdu 00A4000C022F00\n"
                          "apdu 00B0000003 expect 00 ?? 02 9000\n"
                          "power down\n"
                          "track absent\n"
                          "remove\n"
                          "sleep\n"
                          "resume\n"
                          "track present\n"
                          "close\n"
                          "remove reader\n"
                          "plug\n"
                          "insert t1-lrc\n"
                          "unplug\n");
  const Outcome run = talvor({"run", script});
  EXPECT_EQ(run.code, kExitOk) << run.err;
  EXPECT_EQ(run.err, "");
  for (const char *line : {
           "load 1.0                          STATUS_SUCCESS (0x00000000)  "
           "service TALVOR10",
           "vendor read (the register back)   STATUS_SUCCESS (0x00000000)  "
           "5A A5",
           "vendor i2c-read 3                 STATUS_SUCCESS (0x00000000)  "
           "00 11 22",
           "vendor 0x222038                   STATUS_INVALID_DEVICE_REQUEST "
           "(0xC0000010)",
           "power cold                        STATUS_NO_MEDIA (0xC0000178)",
           "track present                     STATUS_PENDING (0x00000103)  "
           "waits for a card",
           "insert t0                         done: card in; tracking saw "
           "it: STATUS_SUCCESS (0x00000000)",
           "apdu 00 B0 00 00 02               STATUS_SUCCESS (0x00000000)  "
           "69 86 (command not allowed (no current EF))",
           "apdu 00B0000003                   STATUS_SUCCESS (0x00000000)  "
           "00 01 02 90 00 (done)",
           "remove                            done: card out; tracking saw "
           "it: STATUS_SUCCESS (0x00000000)",
           "    tracking request ended: STATUS_SUCCESS (0x00000000)",
           "unplug                            STATUS_SUCCESS (0x00000000)",
       })
    EXPECT_TRUE(has_line(run.out, line)) << line << "\nin:\n" << run.out;
  EXPECT_EQ(lines(run.out).size(), 41u) << run.out;
}

TEST_F(ScriptFiles, StopsAtTheFirstUnexpectedResultAndNamesItsLine) {
  const std::string script =
      write("stop.talvor", "plug\n"
                           "open\n"
                           "\n"
                           "power cold   # no card: STATUS_NO_MEDIA\n"
                           "insert t1-lrc\n");
  const Outcome run = talvor({"run", script});
  EXPECT_EQ(run.code, kExitUnexpected);
  EXPECT_EQ(run.err, script + ":4: expected STATUS_SUCCESS (0x00000000), got "
                              "STATUS_NO_MEDIA (0xC0000178)\n");
  EXPECT_EQ(lines(run.out).back(), "power cold (no card: STATUS_NO_MEDIA) "
                                   "STATUS_NO_MEDIA (0xC0000178)");
  EXPECT_EQ(lines(run.out).size(), 3u) << run.out;

  const std::string answer =
      write("answer.talvor", "plug\ninsert t1-crc\nopen\n"
                             "track present\npower cold\n"
                             "protocol t1\n"
                             "apdu 00A4000C023F00 expect 6A82\n");
  const Outcome wrong = talvor({"run", answer});
  EXPECT_EQ(wrong.code, kExitUnexpected);
  EXPECT_EQ(wrong.err, answer + ":7: expected 6A82, got 90 00\n");

  // A step the script gives at the wrong time is a result, not bad input.
  const std::string early = write("early.talvor", "open\n");
  const Outcome none = talvor({"run", early});
  EXPECT_EQ(none.code, kExitUnexpected);
  EXPECT_EQ(none.out, "open                              failed: no reader "
                      "is plugged\n");
  EXPECT_EQ(none.err, early + ":1: no reader is plugged\n");
}

TEST_F(ScriptFiles, PcapCapturesTheSession) {
  const std::string path = (dir_ / "demo.pcap").string();
  const Outcome demo = talvor({"demo", "--pcap", path});
  EXPECT_EQ(demo.code, kExitOk) << demo.err;
  std::ifstream in(path, std::ios::binary);
  const std::string bytes((std::istreambuf_iterator<char>(in)), {});
  // A pcap file header, then the URBs of a whole session.
  ASSERT_GT(bytes.size(), 24u + 100 * 64);
  EXPECT_EQ(bytes.substr(0, 4), std::string("\xD4\xC3\xB2\xA1", 4));

  const Outcome unwritable =
      talvor({"demo", "--pcap", "/nonexistent/demo.pcap"});
  EXPECT_EQ(unwritable.code, kExitUsage);
  EXPECT_EQ(unwritable.out, "");
  EXPECT_EQ(unwritable.err.rfind("talvor: --pcap /nonexistent/demo.pcap: ", 0),
            0u);
  EXPECT_EQ(lines(unwritable.err).size(), 1u) << unwritable.err;
}

TEST_F(ScriptFiles, BadInputIsOneLineAndExitTwoBeforeAnythingRuns) {
  struct Case {
    std::vector<std::string> args;
    std::string err;
  };
  const std::string bad = write("bad.talvor", "plug\nopen\nfrob 1\n");
  const std::string odd = write("odd.talvor", "plug\napdu 00A40\n");
  const std::string expect = write("expect.talvor", "expect STATUS_SUCCESS\n");
  const std::string card = write("card.talvor", "insert t2\n");
  const std::string junk = write("junk.talvor", "pl\x01ug\n");
  const std::string extra = write("extra.talvor", "plug\nopen now\n");
  const std::vector<Case> cases = {
      {{"demo", "--card", "nope"},
       "talvor: no card nope (talvor cards lists them)\n"},
      {{"apdu", "00A"}, "talvor: APDU odd number of hex digits in \"00A\"\n"},
      {{"apdu", "00A4"},
       "talvor: APDU \"00A4\" is shorter than CLA INS P1 P2\n"},
      {{"run", "/nonexistent/x.talvor"},
       "talvor: cannot read /nonexistent/x.talvor: No such file or "
       "directory\n"},
      {{"run", bad}, "talvor: " + bad + ":3: unknown step \"frob\"\n"},
      {{"run", odd},
       "talvor: " + odd + ":2: odd number of hex digits in \"00A40\"\n"},
      {{"run", expect},
       "talvor: " + expect +
           ":1: expect follows the step it is about "
           "(once)\n"},
      {{"run", card},
       "talvor: " + card + ":1: no card t2 (talvor cards lists them)\n"},
      {{"run", junk}, "talvor: " + junk + ":1: unknown step \"pl?ug\"\n"},
      {{"run", dir_.string()},
       "talvor: cannot read " + dir_.string() + ": it is a directory\n"},
      {{"run", extra}, "talvor: " + extra + ":2: open takes no arguments\n"},
      {{"demo", "--frob"}, "talvor: demo has no option --frob\n"},
      {{"demo", "--pcap"}, "talvor: --pcap needs a value\n"},
      {{"demo", "--seed", "7", "--realtime"},
       "talvor: --seed is for the simulation clock; --realtime and --vicc "
       "run on the real-time clock\n"},
      {{"demo", "--vicc", "10.0.0.1:35963"},
       "talvor: --vicc listens on 127.0.0.1 only, not 10.0.0.1\n"},
      {{"frob"}, "talvor: unknown command frob (talvor --help lists them)\n"},
  };
  for (const auto &each : cases) {
    const Outcome run = talvor(each.args);
    EXPECT_EQ(run.code, kExitUsage) << each.args[0];
    EXPECT_EQ(run.err, each.err);
    EXPECT_EQ(run.out, "") << each.err;
  }
}

constexpr const char *kDemo =
    "load 1.1                          STATUS_SUCCESS (0x00000000)  service "
    "TALVOR11\n"
    "plug                              STATUS_SUCCESS (0x00000000)  TALVOR11 "
    "started it\n"
    "insert t1-lrc                     done: card in\n"
    "open                              STATUS_SUCCESS (0x00000000)\n"
    "track present                     STATUS_SUCCESS (0x00000000)  card "
    "present\n"
    "power cold                        STATUS_SUCCESS (0x00000000)  ATR 3B 99 "
    "96 81 31 80 45 74 61 6C 76 6F 72 20 54 31 2D\n"
    "    convention direct (TS 3B); protocols T=1; negotiable, T=1 first\n"
    "    TA1 96: Fi 9, Di 6 (F 512, D 32)\n"
    "    guard time: N 0 (12 etu)\n"
    "    T=1: IFSC 128, CWI 5 (CWT 43 etu), BWI 4 (BWT 1600 ms + 11 etu at "
    "3.5712 MHz), LRC\n"
    "    historical bytes (9): 74 61 6C 76 6F 72 20 54 31 \"talvor T1\"\n"
    "    TCK 2D (checks)\n"
    "protocol t1                       STATUS_SUCCESS (0x00000000)  T=1\n"
    "apdu 00A4000C023F00 (SELECT MF)   STATUS_SUCCESS (0x00000000)  90 00 "
    "(done)\n"
    "apdu 00A4040C07F074616C766F72 (SELECT by AID) STATUS_SUCCESS "
    "(0x00000000)  90 00 (done)\n"
    "apdu 00A4000C025001 (SELECT EF 5001) STATUS_SUCCESS (0x00000000)  90 00 "
    "(done)\n"
    "apdu 00B0000008 (READ BINARY, no PIN yet) STATUS_SUCCESS (0x00000000)  "
    "69 82 (security status not satisfied)\n"
    "apdu 002000810431323334 (VERIFY PIN 1234) STATUS_SUCCESS (0x00000000)  "
    "90 00 (done)\n"
    "apdu 00B0000008 (READ BINARY)     STATUS_SUCCESS (0x00000000)  01 02 03 "
    "04 05 06 07 08 90 00 (done)\n"
    "apdu 0084000008 (GET CHALLENGE)   STATUS_SUCCESS (0x00000000)  03 F7 E9 "
    "E2 C0 83 9B D9 90 00 (done)\n"
    "track absent                      STATUS_PENDING (0x00000103)  waits for "
    "the removal\n"
    "remove                            done: card out; tracking saw it: "
    "STATUS_SUCCESS (0x00000000)\n"
    "sleep                             STATUS_SUCCESS (0x00000000)\n"
    "resume                            STATUS_SUCCESS (0x00000000)\n"
    "close                             STATUS_SUCCESS (0x00000000)\n"
    "remove reader                     STATUS_SUCCESS (0x00000000)\n";

TEST(Demo, RunsTheWholeSessionOnBothBuilds) {
  const Outcome eleven = talvor({"demo"});
  EXPECT_EQ(eleven.code, kExitOk) << eleven.err;
  EXPECT_EQ(eleven.err, "");
  EXPECT_EQ(eleven.out, kDemo);

  // Build 1.0 differs in its name only; the same seed, the same challenge.
  std::string ten = kDemo;
  for (const auto &[from, to] :
       {std::pair<std::string, std::string>{"load 1.1", "load 1.0"},
        {"TALVOR11", "TALVOR10"},
        {"TALVOR11", "TALVOR10"}})
    ten.replace(ten.find(from), from.size(), to);
  const Outcome old = talvor({"demo", "--build", "1.0"});
  EXPECT_EQ(old.code, kExitOk) << old.err;
  EXPECT_EQ(old.out, ten);
}

TEST(Demo, EachApplicationHasItsOwnApdus) {
  const Outcome echo = talvor({"demo", "--card", "t1-oversized-block"});
  EXPECT_EQ(echo.code, kExitOk) << echo.err;
  EXPECT_TRUE(has_line(echo.out, "apdu 0040000003AABBCC05 (case 4)  "
                                 "STATUS_SUCCESS (0x00000000)  AA BB CC AA "
                                 "BB 90 00 (done)"))
      << echo.out;

  // A card whose ATR the library refuses ends the demo at the power step.
  const Outcome refused = talvor({"demo", "--card", "bad-tck"});
  EXPECT_EQ(refused.code, kExitUnexpected);
  EXPECT_EQ(refused.err, "demo:6: expected STATUS_SUCCESS (0x00000000), got "
                         "STATUS_UNRECOGNIZED_MEDIA (0xC0000014)\n");
}

} // namespace
} // namespace talvor::cli
