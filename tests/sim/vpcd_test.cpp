// The bridge to vicc over the vpcd protocol, in real time, on 127.0.0.1.
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include "sim/card/cards.h"
#include "sim/card/vpcd.h"
#include "tests/sim/host.h"

namespace talvor::test {
namespace {

namespace fsys = std::filesystem;

constexpr const char *kVicc = "/usr/bin/vicc";
// Debian installs the modules a folder too deep, and vicc imports Crypto
// where Debian ships Cryptodome.
constexpr const char *kViccModules =
    "/usr/lib/python3/site-packages/virtualsmartcard";
constexpr const char *kCryptodome = "/usr/lib/python3/dist-packages/Cryptodome";

// vicc as a child process, ended by its id when the test ends.
class Vicc {
public:
  Vicc(std::uint16_t port, const fsys::path &dir) : log_(dir / "vicc.log") {
    std::error_code ignored;
    fsys::create_directory_symlink(kCryptodome, dir / "Crypto", ignored);
    const std::string pythonpath =
        "PYTHONPATH=" + dir.string() + ":" + kViccModules;
    const std::string port_text = std::to_string(port);
    std::vector<std::string> env{pythonpath};
    for (char **entry = environ; *entry; ++entry)
      if (std::strncmp(*entry, "PYTHONPATH=", 11) != 0)
        env.emplace_back(*entry);
    std::vector<char *> envp;
    envp.reserve(env.size() + 1);
    for (auto &entry : env)
      envp.push_back(entry.data());
    envp.push_back(nullptr);
    std::vector<std::string> args{kVicc,       "-t", "iso7816", "-H",
                                  "127.0.0.1", "-P", port_text};
    std::vector<char *> argv;
    argv.reserve(args.size() + 1);
    for (auto &arg : args)
      argv.push_back(arg.data());
    argv.push_back(nullptr);
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_addopen(&actions, 1, log_.c_str(),
                                     O_WRONLY | O_CREAT | O_TRUNC, 0644);
    posix_spawn_file_actions_adddup2(&actions, 1, 2);
    if (posix_spawn(&pid_, kVicc, &actions, nullptr, argv.data(),
                    envp.data()) != 0)
      pid_ = -1;
    posix_spawn_file_actions_destroy(&actions);
  }
  ~Vicc() {
    if (pid_ > 0) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
  }
  bool started() const { return pid_ > 0; }
  bool exited() {
    if (pid_ <= 0 || ::waitpid(pid_, nullptr, WNOHANG) != pid_)
      return false;
    pid_ = -1;
    return true;
  }
  std::string log() const {
    std::ifstream in(log_);
    std::string text((std::istreambuf_iterator<char>(in)), {});
    return text.size() > 2000 ? text.substr(text.size() - 2000) : text;
  }

private:
  fsys::path log_;
  pid_t pid_ = -1;
};

class VpcdBridgeTest : public ::testing::Test {
protected:
  void SetUp() override {
    if (!fsys::exists(kVicc))
      GTEST_SKIP() << "vicc is not installed (Debian package "
                      "vsmartcard-vpicc)";
    if (!fsys::exists(kCryptodome))
      GTEST_SKIP() << "vicc needs Cryptodome (Debian package "
                      "python3-pycryptodome)";
    dir_ = fsys::temp_directory_path() /
           ("talvor-vicc-" + std::to_string(::getpid()));
    fsys::create_directories(dir_);
    std::string error;
    listener_ = card::VpcdListener::open(0, &error);
    ASSERT_TRUE(listener_) << error;
    vicc_.emplace(listener_->port(), dir_);
    if (!vicc_->started())
      GTEST_SKIP() << "vicc could not be started";
    // Wait in short steps so that a vicc that cannot start is seen at once.
    for (int step = 0; step < 100 && !connection_ && !vicc_->exited(); ++step)
      connection_ = listener_->accept(std::chrono::milliseconds(200),
                                      std::chrono::seconds(10), &error);
    if (!connection_)
      GTEST_SKIP() << "vicc did not connect (" << error << "):\n"
                   << vicc_->log();
  }
  void TearDown() override {
    vicc_.reset();
    std::error_code ignored;
    fsys::remove_all(dir_, ignored);
  }

  card::Card bridged(card::ReadyCard base) {
    std::string error;
    auto card = card::make_bridged_card(
        std::move(*connection_), card::ready_profile(base),
        [] {
          return std::chrono::duration_cast<card::Time>(
              std::chrono::steady_clock::now().time_since_epoch());
        },
        &error);
    EXPECT_TRUE(card) << error << "\n" << vicc_->log();
    return std::move(*card);
  }

  fsys::path dir_;
  std::optional<card::VpcdListener> listener_;
  std::optional<Vicc> vicc_;
  std::optional<card::VpcdConnection> connection_;
};

TEST_F(VpcdBridgeTest, ApdusOverT1ReachTheVirtualCard) {
  card::Card card = bridged(card::ReadyCard::t1_lrc);
  Host host(card);
  const Bytes atr = host.cold_reset();
  auto parsed = card::Atr::parse(atr);
  ASSERT_TRUE(parsed);
  // Our interface bytes, the virtual card's historical bytes.
  EXPECT_EQ(parsed->historical_bytes(), (Bytes{0x80, 0x73, 0xFF, 0x01, 0x00}));
  EXPECT_TRUE(parsed->offers(1));

  T1Host t1(host);
  auto first = t1.transmit(Bytes{0x00, 0x84, 0x00, 0x00, 0x08});
  auto second = t1.transmit(Bytes{0x00, 0x84, 0x00, 0x00, 0x08});
  ASSERT_TRUE(first && second) << vicc_->log();
  ASSERT_EQ(first->size(), 10u);
  EXPECT_EQ(Bytes(first->end() - 2, first->end()), (Bytes{0x90, 0x00}));
  EXPECT_NE(*first, *second);
  auto select = t1.transmit(Bytes{0x00, 0xA4, 0x00, 0x0C, 0x02, 0x3F, 0x00});
  ASSERT_TRUE(select);
  EXPECT_EQ(*select, (Bytes{0x90, 0x00})) << vicc_->log();
}

TEST_F(VpcdBridgeTest, ApdusOverT0ReachTheVirtualCard) {
  card::Card card = bridged(card::ReadyCard::t0);
  Host host(card);
  host.cold_reset();
  T0Host t0(host);
  auto challenge = t0.transmit(Bytes{0x00, 0x84, 0x00, 0x00, 0x04});
  ASSERT_TRUE(challenge) << vicc_->log();
  EXPECT_EQ(challenge->size(), 6u);
  auto select = t0.transmit(Bytes{0x00, 0xA4, 0x00, 0x0C, 0x02, 0x3F, 0x00});
  ASSERT_TRUE(select);
  EXPECT_EQ(*select, (Bytes{0x90, 0x00})) << vicc_->log();
}

TEST_F(VpcdBridgeTest, AVanishedCardAnswersWithAStatus) {
  card::Card card = bridged(card::ReadyCard::t1_lrc);
  Host host(card);
  host.cold_reset();
  vicc_.reset(); // killed mid-session
  T1Host t1(host);
  auto response = t1.transmit(Bytes{0x00, 0x84, 0x00, 0x00, 0x08});
  ASSERT_TRUE(response);
  EXPECT_EQ(*response, (Bytes{0x6F, 0x00}));
}

} // namespace
} // namespace talvor::test
