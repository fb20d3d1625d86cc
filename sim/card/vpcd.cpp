#include "sim/card/vpcd.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>
#include <utility>

namespace talvor::card {

namespace {

constexpr std::uint8_t kPowerOff = 0x00;
constexpr std::uint8_t kPowerOn = 0x01;
constexpr std::uint8_t kReset = 0x02;
constexpr std::uint8_t kGetAtr = 0x04;
constexpr std::size_t kMaxMessage = 0xFFFF;

void say(std::string *error, std::string text) {
  if (error)
    *error = std::move(text);
}

std::string system_error(const char *what) {
  return std::string(what) + ": " + std::strerror(errno);
}

int milliseconds_until(std::chrono::steady_clock::time_point deadline) {
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
      deadline - std::chrono::steady_clock::now());
  return static_cast<int>(std::max<std::int64_t>(left.count(), 0));
}

// Waits for `events` on `fd` until the deadline; false on time-out or error.
bool wait_for(int fd, short events,
              std::chrono::steady_clock::time_point deadline) {
  for (;;) {
    pollfd entry{fd, events, 0};
    const int ready = ::poll(&entry, 1, milliseconds_until(deadline));
    if (ready > 0)
      return true;
    if (ready == 0 || errno != EINTR)
      return false;
  }
}

} // namespace

// Connection.

VpcdConnection::VpcdConnection(VpcdConnection &&other) noexcept
    : fd_(std::exchange(other.fd_, -1)), timeout_(other.timeout_),
      error_(std::move(other.error_)) {}

VpcdConnection &VpcdConnection::operator=(VpcdConnection &&other) noexcept {
  if (this != &other) {
    if (fd_ >= 0)
      ::close(fd_);
    fd_ = std::exchange(other.fd_, -1);
    timeout_ = other.timeout_;
    error_ = std::move(other.error_);
  }
  return *this;
}

VpcdConnection::~VpcdConnection() {
  if (fd_ >= 0)
    ::close(fd_);
}

int VpcdConnection::watch_descriptor() const {
  return fd_ >= 0 ? ::fcntl(fd_, F_DUPFD_CLOEXEC, 0) : -1;
}

void VpcdConnection::fail(std::string why) {
  error_ = std::move(why);
  if (fd_ >= 0)
    ::close(fd_);
  fd_ = -1;
}

bool VpcdConnection::send_message(std::span<const std::uint8_t> payload) {
  if (fd_ < 0)
    return false;
  if (payload.empty() || payload.size() > kMaxMessage) {
    error_ = "message length out of range";
    return false;
  }
  // Length and payload in one write: apart, the length waits for the
  // peer's delayed acknowledgement.
  std::vector<std::uint8_t> message{
      static_cast<std::uint8_t>(payload.size() >> 8),
      static_cast<std::uint8_t>(payload.size())};
  message.insert(message.end(), payload.begin(), payload.end());
  const auto deadline = std::chrono::steady_clock::now() + timeout_;
  std::size_t sent = 0;
  while (sent < message.size()) {
    const ssize_t n =
        ::send(fd_, message.data() + sent, message.size() - sent, MSG_NOSIGNAL);
    if (n > 0) {
      sent += static_cast<std::size_t>(n);
    } else if (n < 0 &&
               (errno == EINTR || ((errno == EAGAIN || errno == EWOULDBLOCK) &&
                                   wait_for(fd_, POLLOUT, deadline)))) {
      continue;
    } else {
      fail(system_error("vpcd send"));
      return false;
    }
  }
  return true;
}

bool VpcdConnection::read_exactly(
    std::uint8_t *into, std::size_t count,
    std::chrono::steady_clock::time_point deadline) {
  std::size_t got = 0;
  while (got < count) {
    if (!wait_for(fd_, POLLIN, deadline)) {
      fail("the virtual card did not answer in time");
      return false;
    }
    const ssize_t n = ::recv(fd_, into + got, count - got, 0);
    if (n > 0) {
      got += static_cast<std::size_t>(n);
    } else if (n == 0) {
      fail("the virtual card closed the connection");
      return false;
    } else if (errno != EINTR && errno != EAGAIN) {
      fail(system_error("vpcd receive"));
      return false;
    }
  }
  return true;
}

std::optional<std::vector<std::uint8_t>> VpcdConnection::receive_message() {
  if (fd_ < 0)
    return std::nullopt;
  const auto deadline = std::chrono::steady_clock::now() + timeout_;
  std::uint8_t length[2];
  if (!read_exactly(length, sizeof length, deadline))
    return std::nullopt;
  std::vector<std::uint8_t> payload(static_cast<std::size_t>(length[0]) << 8 |
                                    length[1]);
  if (!read_exactly(payload.data(), payload.size(), deadline))
    return std::nullopt;
  return payload;
}

bool VpcdConnection::power_off() {
  return send_message({&kPowerOff, 1});
}
bool VpcdConnection::power_on() {
  return send_message({&kPowerOn, 1});
}
bool VpcdConnection::reset() {
  return send_message({&kReset, 1});
}

std::optional<std::vector<std::uint8_t>> VpcdConnection::atr() {
  if (!send_message({&kGetAtr, 1}))
    return std::nullopt;
  return receive_message();
}

std::optional<std::vector<std::uint8_t>>
VpcdConnection::transmit(std::span<const std::uint8_t> apdu) {
  // One byte would read as a control message.
  if (apdu.size() < 4) {
    error_ = "an APDU has at least four bytes";
    return std::nullopt;
  }
  if (!send_message(apdu))
    return std::nullopt;
  return receive_message();
}

// Listener.

std::optional<VpcdListener> VpcdListener::open(std::uint16_t port,
                                               std::string *error) {
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd < 0) {
    say(error, system_error("socket"));
    return std::nullopt;
  }
  VpcdListener listener(fd, 0);
  const int on = 1;
  ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &on, sizeof on);
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_port = htons(port);
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  if (::bind(fd, reinterpret_cast<const sockaddr *>(&address),
             sizeof address) != 0 ||
      ::listen(fd, 1) != 0) {
    say(error, system_error("bind/listen on 127.0.0.1"));
    return std::nullopt;
  }
  socklen_t length = sizeof address;
  if (::getsockname(fd, reinterpret_cast<sockaddr *>(&address), &length) != 0) {
    say(error, system_error("getsockname"));
    return std::nullopt;
  }
  listener.port_ = ntohs(address.sin_port);
  return listener;
}

VpcdListener::VpcdListener(VpcdListener &&other) noexcept
    : fd_(std::exchange(other.fd_, -1)), port_(other.port_) {}

VpcdListener &VpcdListener::operator=(VpcdListener &&other) noexcept {
  if (this != &other) {
    if (fd_ >= 0)
      ::close(fd_);
    fd_ = std::exchange(other.fd_, -1);
    port_ = other.port_;
  }
  return *this;
}

VpcdListener::~VpcdListener() {
  if (fd_ >= 0)
    ::close(fd_);
}

std::optional<VpcdConnection>
VpcdListener::accept(std::chrono::milliseconds wait,
                     std::chrono::milliseconds io_timeout, std::string *error) {
  const auto deadline = std::chrono::steady_clock::now() + wait;
  if (fd_ < 0 || !wait_for(fd_, POLLIN, deadline)) {
    say(error, "no virtual card connected in time");
    return std::nullopt;
  }
  const int fd = ::accept4(fd_, nullptr, nullptr, SOCK_CLOEXEC);
  if (fd < 0) {
    say(error, system_error("accept"));
    return std::nullopt;
  }
  const int on = 1;
  ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &on, sizeof on);
  return VpcdConnection(fd, io_timeout);
}

// Application and card.

RemoteApplication::RemoteApplication(VpcdConnection connection, Clock clock)
    : connection_(std::move(connection)), clock_(std::move(clock)) {}

void RemoteApplication::reset(bool cold) {
  if (cold) {
    connection_.power_off();
    connection_.power_on();
  } else {
    connection_.reset();
  }
}

void RemoteApplication::power_off() {
  connection_.power_off();
}

ResponseApdu RemoteApplication::process(const CommandApdu &command) {
  const Time started = clock_();
  auto answer = connection_.transmit(command.bytes());
  ResponseApdu response;
  response.busy = clock_() - started;
  // A lost or malformed answer becomes a status the reader can show, never
  // a silence that hangs it.
  if (!answer || answer->size() < 2) {
    response.sw = sw::kNoDiagnosis;
    return response;
  }
  response.sw = static_cast<std::uint16_t>(answer->at(answer->size() - 2) << 8 |
                                           answer->back());
  answer->resize(answer->size() - 2);
  response.data = std::move(*answer);
  return response;
}

std::optional<Card> make_bridged_card(VpcdConnection connection,
                                      CardProfile base,
                                      RemoteApplication::Clock clock,
                                      std::string *error) {
  if (!connection.power_on()) {
    say(error, connection.error());
    return std::nullopt;
  }
  auto remote = connection.atr();
  if (!remote) {
    say(error, "no ATR from the virtual card: " + connection.error());
    return std::nullopt;
  }
  std::string why;
  auto atr = Atr::parse(*remote, &why);
  if (!atr) {
    say(error, "the virtual card's ATR is unusable: " + why);
    return std::nullopt;
  }
  base.name = "vpcd";
  base.atr.historical(atr->historical_bytes());
  base.atr_bytes.reset();
  return Card(std::move(base), std::make_unique<RemoteApplication>(
                                   std::move(connection), std::move(clock)));
}

} // namespace talvor::card
