#include "sim/card/vpcd_wire.h"

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <poll.h>
#include <sys/socket.h>

namespace talvor::card::vpcd {

namespace {

int milliseconds_until(const Deadline &deadline) {
  if (!deadline)
    return -1;
  const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
      *deadline - std::chrono::steady_clock::now());
  return static_cast<int>(std::max<std::int64_t>(left.count(), 0));
}

enum class Read { Done, Closed, TimedOut, Failed };

Read read_exactly(int fd, std::uint8_t *into, std::size_t count,
                  const Deadline &deadline, bool quickack, std::string *error) {
  std::size_t got = 0;
  while (got < count) {
    if (!wait_for(fd, POLLIN, deadline))
      return Read::TimedOut;
    const ssize_t n = ::recv(fd, into + got, count - got, 0);
    if (n > 0) {
      got += static_cast<std::size_t>(n);
      if (quickack) {
        const int on = 1;
        ::setsockopt(fd, IPPROTO_TCP, TCP_QUICKACK, &on, sizeof on);
      }
    } else if (n == 0) {
      return Read::Closed;
    } else if (errno != EINTR && errno != EAGAIN) {
      *error = std::strerror(errno);
      return Read::Failed;
    }
  }
  return Read::Done;
}

} // namespace

bool wait_for(int fd, short events, const Deadline &deadline) {
  for (;;) {
    pollfd entry{fd, events, 0};
    const int ready = ::poll(&entry, 1, milliseconds_until(deadline));
    if (ready > 0)
      return true;
    if (ready == 0 || errno != EINTR)
      return false;
  }
}

bool send_message(int fd, std::span<const std::uint8_t> payload,
                  Deadline deadline, std::string *why) {
  if (payload.empty() || payload.size() > kMaxMessage) {
    *why = "message length out of range";
    return false;
  }
  std::vector<std::uint8_t> message{
      static_cast<std::uint8_t>(payload.size() >> 8),
      static_cast<std::uint8_t>(payload.size())};
  message.insert(message.end(), payload.begin(), payload.end());
  std::size_t sent = 0;
  while (sent < message.size()) {
    const ssize_t n =
        ::send(fd, message.data() + sent, message.size() - sent, MSG_NOSIGNAL);
    if (n > 0) {
      sent += static_cast<std::size_t>(n);
    } else if (n < 0 &&
               (errno == EINTR || ((errno == EAGAIN || errno == EWOULDBLOCK) &&
                                   wait_for(fd, POLLOUT, deadline)))) {
      continue;
    } else {
      *why = std::strerror(n < 0 ? errno : EPIPE);
      return false;
    }
  }
  return true;
}

Received receive_message(int fd, Deadline deadline, bool quickack) {
  Received received;
  std::uint8_t length[2];
  // The first byte alone: a close before it is the end of a session, a
  // close after it a truncated message.
  Read read = read_exactly(fd, length, 1, deadline, quickack, &received.error);
  if (read == Read::Closed) {
    received.outcome = Received::Outcome::Closed;
    return received;
  }
  if (read == Read::Done)
    read = read_exactly(fd, length + 1, 1, deadline, quickack, &received.error);
  if (read == Read::Done) {
    received.payload.resize(static_cast<std::size_t>(length[0]) << 8 |
                            length[1]);
    read = read_exactly(fd, received.payload.data(), received.payload.size(),
                        deadline, quickack, &received.error);
  }
  switch (read) {
  case Read::Done:
    received.outcome = Received::Outcome::Message;
    return received;
  case Read::Closed:
    received.outcome = Received::Outcome::Truncated;
    break;
  case Read::TimedOut:
    received.outcome = Received::Outcome::TimedOut;
    break;
  case Read::Failed:
    received.outcome = Received::Outcome::Failed;
    break;
  }
  received.payload.clear();
  return received;
}

} // namespace talvor::card::vpcd
