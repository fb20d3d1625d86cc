#include "tools/pcsc/slot.h"

#include <cerrno>
#include <chrono>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/stat.h>
#include <unistd.h>

#include "tools/pcsc/channel.h"

namespace talvor::pcsc {

namespace {

// A command longer than this is no command; it is dropped up to its end.
constexpr std::size_t kMaxLine = 256;

std::string system_error(const std::string &what) {
  return what + ": " + std::strerror(errno);
}

// Waits for `fd` to become readable (or hang up) or for `stop`; false on
// stop or error.
bool wait_readable(int fd, short events, const Wakeup &stop) {
  for (;;) {
    pollfd entries[2] = {{fd, events, 0}, {stop.fd(), POLLIN, 0}};
    const int ready = ::poll(entries, 2, -1);
    if (ready < 0 && errno == EINTR)
      continue;
    if (ready < 0 || entries[1].revents != 0)
      return false;
    if (entries[0].revents != 0)
      return true;
  }
}

} // namespace

Wakeup::Wakeup() : fd_(::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

Wakeup::~Wakeup() {
  if (fd_ >= 0)
    ::close(fd_);
}

void Wakeup::ring() {
  const std::uint64_t one = 1;
  [[maybe_unused]] ssize_t written = ::write(fd_, &one, sizeof one);
}

// ---- SlotFifo ---------------------------------------------------------------

std::unique_ptr<SlotFifo> SlotFifo::open(const std::string &path,
                                         host::Reader &reader,
                                         CardChoice fallback,
                                         std::string *error) {
  std::unique_ptr<SlotFifo> fifo(new SlotFifo(path, reader, fallback));
  if (!fifo->stop_.ok()) {
    *error = system_error("eventfd");
    return nullptr;
  }
  std::error_code ignored;
  std::filesystem::create_directories(std::filesystem::path(path).parent_path(),
                                      ignored);
  struct stat status {};
  if (::lstat(path.c_str(), &status) == 0) {
    // Left by an earlier run: used again. Anything else is not ours.
    if (!S_ISFIFO(status.st_mode)) {
      *error = "slot " + path + " exists and is no FIFO";
      return nullptr;
    }
  } else if (::mkfifo(path.c_str(), 0600) == 0) {
    fifo->made_ = true;
  } else {
    *error = system_error("slot " + path);
    return nullptr;
  }
  // Open for writing too, so that a writer closing is no end of file.
  fifo->fd_ = ::open(path.c_str(), O_RDWR | O_NONBLOCK | O_CLOEXEC);
  if (fifo->fd_ < 0) {
    *error = system_error("slot " + path);
    return nullptr;
  }
  fifo->thread_ = std::thread([raw = fifo.get()] { raw->serve(); });
  return fifo;
}

SlotFifo::~SlotFifo() {
  stop_.ring();
  if (thread_.joinable())
    thread_.join();
  if (fd_ >= 0)
    ::close(fd_);
  if (made_)
    ::unlink(path_.c_str());
}

void SlotFifo::serve() {
  std::string line;
  bool overlong = false;
  char buffer[512];
  while (wait_readable(fd_, POLLIN, stop_)) {
    const ssize_t count = ::read(fd_, buffer, sizeof buffer);
    if (count < 0 && (errno == EAGAIN || errno == EINTR))
      continue;
    if (count <= 0) {
      log_line("slot " + path_ + ": " + system_error("read"));
      return;
    }
    for (ssize_t i = 0; i < count; ++i) {
      if (buffer[i] != '\n') {
        if (line.size() < kMaxLine)
          line.push_back(buffer[i]);
        else
          overlong = true;
        continue;
      }
      if (overlong)
        log_line("slot " + path_ + ": a line over " + std::to_string(kMaxLine) +
                 " bytes, ignored");
      else
        command(line);
      line.clear();
      overlong = false;
    }
  }
}

void SlotFifo::command(std::string_view line) {
  while (!line.empty() && (line.back() == '\r' || line.back() == ' '))
    line.remove_suffix(1);
  while (!line.empty() && line.front() == ' ')
    line.remove_prefix(1);
  if (line.empty())
    return;
  const std::string_view verb = line.substr(0, line.find(' '));
  const std::string_view rest =
      verb.size() < line.size() ? line.substr(verb.size() + 1) : "";
  if (verb == "remove" && rest.empty()) {
    if (!reader_.take_card())
      log_line("slot " + path_ + ": remove: the slot is empty");
    return;
  }
  if (verb == "insert") {
    std::string error;
    auto choice = parse_card_choice(rest, fallback_, &error);
    if (!choice) {
      log_line("slot " + path_ + ": insert: " + error);
      return;
    }
    if (reader_.firmware().card_present()) {
      log_line("slot " + path_ +
               ": insert: a card is in the slot; remove it "
               "first");
      return;
    }
    reader_.insert(make_slot_card(*choice));
    return;
  }
  log_line("slot " + path_ + ": unknown command \"" + std::string(line) +
           "\" (insert [CARD][;app=APP], remove)");
}

// ---- ViccSlot ---------------------------------------------------------------

std::unique_ptr<ViccSlot> ViccSlot::open(std::uint16_t port,
                                         host::Reader &reader,
                                         card::ReadyCard profile,
                                         std::string *error) {
  std::string why;
  auto listener = card::VpcdListener::open(port, &why);
  if (!listener) {
    *error = "vicc: port " + std::to_string(port) + ": " + why;
    return nullptr;
  }
  std::unique_ptr<ViccSlot> slot(
      new ViccSlot(std::move(*listener), reader, profile));
  if (!slot->stop_.ok()) {
    *error = system_error("eventfd");
    return nullptr;
  }
  slot->thread_ = std::thread([raw = slot.get()] { raw->serve(); });
  return slot;
}

ViccSlot::~ViccSlot() {
  stop_.ring();
  if (thread_.joinable())
    thread_.join();
  reader_.take_card();
}

bool ViccSlot::stopped() const {
  pollfd stop{stop_.fd(), POLLIN, 0};
  return ::poll(&stop, 1, 0) != 0;
}

void ViccSlot::serve() {
  const auto real_time = [] {
    return std::chrono::duration_cast<card::Time>(
        std::chrono::steady_clock::now().time_since_epoch());
  };
  // The listener waits by itself: the stop is looked at between its waits.
  while (!stopped()) {
    std::string error;
    auto connection = listener_.accept(std::chrono::milliseconds(200),
                                       std::chrono::seconds(5), &error);
    if (!connection)
      continue;
    const int watch = connection->watch_descriptor();
    auto bridged = card::make_bridged_card(std::move(*connection),
                                           card::ready_profile(profile_),
                                           real_time, &error);
    if (!bridged || watch < 0) {
      log_line("vicc: " + (bridged ? system_error("watch") : error));
      if (watch >= 0)
        ::close(watch);
      continue;
    }
    log_line("vicc: a virtual card connected");
    reader_.insert(std::make_unique<card::Card>(std::move(*bridged)));
    const bool hung_up = wait_readable(watch, POLLRDHUP, stop_);
    ::close(watch);
    if (!hung_up)
      return;
    log_line("vicc: the virtual card hung up");
    reader_.take_card();
  }
}

} // namespace talvor::pcsc
