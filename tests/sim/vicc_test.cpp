// Our card model as a virtual card, served to our own vpcd end over
// 127.0.0.1, in real time.
#include <arpa/inet.h>
#include <future>
#include <netinet/in.h>
#include <sys/socket.h>
#include <thread>
#include <unistd.h>

#include <gtest/gtest.h>

#include "sim/card/applications.h"
#include "sim/card/cards.h"
#include "sim/card/vicc.h"
#include "sim/card/vpcd.h"

namespace talvor::test {
namespace {

using Bytes = std::vector<std::uint8_t>;
using card::Vicc;
using namespace std::chrono_literals;

const Bytes kAtr = card::ready_profile(card::ReadyCard::t1_lrc).atr.bytes();

// The echo application, and what it heard: read once the session is over.
class Recording final : public card::Application {
public:
  void reset(bool cold) override {
    heard.emplace_back(cold ? "cold" : "warm");
    echo_.reset(cold);
  }
  void power_off() override { heard.emplace_back("off"); }
  card::ResponseApdu process(const card::CommandApdu &command) override {
    heard.push_back("apdu " + std::to_string(command.apdu_case()));
    return echo_.process(command);
  }
  std::vector<std::string> heard;

private:
  card::EchoApplication echo_;
};

// A vicc connected to `port`, served from a thread of its own.
struct Served {
  Recording *application = nullptr;
  std::unique_ptr<Vicc> vicc;
  std::future<Vicc::Ending> ending;

  explicit Served(std::uint16_t port) {
    auto recording = std::make_unique<Recording>();
    application = recording.get();
    std::string error;
    vicc = Vicc::connect("127.0.0.1", port, kAtr, std::move(recording), &error);
    EXPECT_TRUE(vicc) << error;
    if (vicc)
      ending = std::async(std::launch::async, [this] { return vicc->serve(); });
  }
  ~Served() {
    if (ending.valid()) {
      vicc->stop();
      ending.wait();
    }
  }
  // How serve() ended, within a few seconds.
  std::optional<Vicc::Ending> end() {
    if (!ending.valid() || ending.wait_for(5s) != std::future_status::ready)
      return std::nullopt;
    return ending.get();
  }
};

class ViccTest : public ::testing::Test {
protected:
  void SetUp() override {
    std::string error;
    listener_ = card::VpcdListener::open(0, &error);
    ASSERT_TRUE(listener_) << error;
  }
  std::optional<card::VpcdListener> listener_;
};

TEST_F(ViccTest, ServesTheCardModelUntilVpcdCloses) {
  Served served(listener_->port());
  ASSERT_TRUE(served.vicc);
  std::string error;
  auto connection = listener_->accept(5s, 5s, &error);
  ASSERT_TRUE(connection) << error;

  EXPECT_EQ(connection->atr(), kAtr);
  // Unpowered, the card answers no APDU.
  EXPECT_EQ(connection->transmit(Bytes{0x80, card::echo::kCase1, 0, 0}),
            (Bytes{0x6F, 0x00}));
  ASSERT_TRUE(connection->power_on());
  const Bytes case4{0x80, card::echo::kCase4, 0x00, 0x00, 3, 0xA1, 0xB2, 0xC3,
                    4};
  EXPECT_EQ(connection->transmit(case4),
            (Bytes{0xA1, 0xB2, 0xC3, 0xA1, 0x90, 0x00}));
  // Lc that does not add up: a status, and the session goes on.
  EXPECT_EQ(connection->transmit(Bytes{0x80, card::echo::kCase3, 0, 0, 5, 1}),
            (Bytes{0x67, 0x00}));
  ASSERT_TRUE(connection->reset());
  EXPECT_EQ(connection->transmit(Bytes{0x80, card::echo::kCase2, 7, 0, 2}),
            (Bytes{7, 8, 0x90, 0x00}));
  ASSERT_TRUE(connection->power_off());
  EXPECT_EQ(connection->atr(), kAtr);

  connection.reset();
  auto ending = served.end();
  ASSERT_TRUE(ending);
  EXPECT_EQ(ending->end, Vicc::End::PeerClosed);
  EXPECT_EQ(ending->reason, "vpcd closed the connection");
  EXPECT_EQ(
      served.application->heard,
      (std::vector<std::string>{"cold", "apdu 4", "warm", "apdu 2", "off"}));
}

// Our vpcd end gives up on a virtual card that does not answer.
TEST_F(ViccTest, VpcdGivesUpOnASilentCard) {
  const int silent = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(listener_->port());
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  ASSERT_EQ(
      ::connect(silent, reinterpret_cast<sockaddr *>(&address), sizeof address),
      0);
  auto connection = listener_->accept(5s, 50ms);
  ASSERT_TRUE(connection);
  EXPECT_FALSE(connection->atr());
  EXPECT_EQ(connection->error(), "the virtual card did not answer in time");
  EXPECT_FALSE(connection->usable());
  ::close(silent);
}

TEST_F(ViccTest, StopEndsTheSessionAndVpcdSeesTheCardGo) {
  Served served(listener_->port());
  ASSERT_TRUE(served.vicc);
  auto connection = listener_->accept(5s, 5s);
  ASSERT_TRUE(connection);
  ASSERT_TRUE(connection->power_on());
  served.vicc->stop();
  auto ending = served.end();
  ASSERT_TRUE(ending);
  EXPECT_EQ(ending->end, Vicc::End::Stopped);
  EXPECT_FALSE(connection->atr());
  EXPECT_EQ(connection->error(), "the virtual card closed the connection");
}

// A vpcd end that writes raw bytes.
class RawVpcd {
public:
  RawVpcd() {
    listen_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (::bind(listen_, reinterpret_cast<sockaddr *>(&address),
               sizeof address) == 0 &&
        ::listen(listen_, 1) == 0 &&
        ::getsockname(listen_, reinterpret_cast<sockaddr *>(&address),
                      &length) == 0)
      port_ = ntohs(address.sin_port);
  }
  ~RawVpcd() {
    if (peer_ >= 0)
      ::close(peer_);
    ::close(listen_);
  }
  std::uint16_t port() const { return port_; }
  bool accept() {
    peer_ = ::accept4(listen_, nullptr, nullptr, SOCK_CLOEXEC);
    return peer_ >= 0;
  }
  bool write(const Bytes &bytes) {
    return ::send(peer_, bytes.data(), bytes.size(), MSG_NOSIGNAL) ==
           static_cast<ssize_t>(bytes.size());
  }
  // What arrives before the peer closes.
  Bytes drain() {
    Bytes all;
    std::uint8_t buffer[64];
    ssize_t n;
    while ((n = ::recv(peer_, buffer, sizeof buffer, 0)) > 0)
      all.insert(all.end(), buffer, buffer + n);
    return all;
  }
  void close() {
    ::close(peer_);
    peer_ = -1;
  }

private:
  int listen_ = -1;
  int peer_ = -1;
  std::uint16_t port_ = 0;
};

TEST(ViccFrames, BadFramesEndTheSessionWithAReason) {
  struct Case {
    const char *name;
    Bytes bytes;
    bool close;
    Vicc::End end;
    const char *reason;
    Bytes answered;
  };
  const std::vector<Case> cases = {
      {"zero length",
       {0x00, 0x01, 0x04, 0x00, 0x00},
       false,
       Vicc::End::BadFrame,
       "a message of length 0",
       [] {
         Bytes atr{0x00, static_cast<std::uint8_t>(kAtr.size())};
         atr.insert(atr.end(), kAtr.begin(), kAtr.end());
         return atr;
       }()},
      {"truncated payload",
       {0x00, 0x05, 0x80, 0x10},
       true,
       Vicc::End::BadFrame,
       "vpcd closed the connection within a message",
       {}},
      {"truncated length",
       {0x00},
       true,
       Vicc::End::BadFrame,
       "vpcd closed the connection within a message",
       {}},
      {"unknown control, then a close",
       {0x00, 0x01, 0x7F},
       true,
       Vicc::End::PeerClosed,
       "vpcd closed the connection",
       {}},
  };
  for (const Case &c : cases) {
    SCOPED_TRACE(c.name);
    RawVpcd vpcd;
    ASSERT_NE(vpcd.port(), 0);
    Served served(vpcd.port());
    ASSERT_TRUE(served.vicc);
    ASSERT_TRUE(vpcd.accept());
    ASSERT_TRUE(vpcd.write(c.bytes));
    if (c.close)
      vpcd.close();
    auto ending = served.end();
    ASSERT_TRUE(ending);
    EXPECT_EQ(ending->end, c.end);
    EXPECT_EQ(ending->reason, c.reason);
    if (!c.close) {
      EXPECT_EQ(vpcd.drain(), c.answered);
    }
  }
}

} // namespace
} // namespace talvor::test
