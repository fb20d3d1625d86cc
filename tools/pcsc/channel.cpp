// The channels on the hosted kernel: the WDK side of the seam.
#include "tools/pcsc/channel.h"

#include <cstdlib>
#include <cstring>
#include <dlfcn.h>
#include <filesystem>
#include <map>
#include <mutex>
#include <utility>

#include <winsmcrd.h>

#include "platform/kernel/kernel.h"
#include "tools/host/system.h"
#include "tools/pcsc/device_name.h"
#include "tools/pcsc/slot.h"
#include "vendor/ioctl.h"

namespace talvor::pcsc {

namespace {

// The driver's replies are short; a caller's larger buffer is not asked
// of it whole.
constexpr std::size_t kMaxReply = std::size_t{64} * 1024;
// How long a new reader may take to report the card it starts with.
constexpr std::chrono::seconds kFirstPresence{2};

Outcome outcome_of(NTSTATUS status) {
  if (NT_SUCCESS(status))
    return Outcome::ok;
  switch (status) {
  case STATUS_NO_MEDIA:
  case STATUS_NO_MEDIA_IN_DEVICE:
    return Outcome::card_absent;
  case STATUS_DEVICE_REMOVED:
  case STATUS_NO_SUCH_DEVICE:
  case STATUS_DELETE_PENDING:
  case STATUS_DEVICE_NOT_CONNECTED:
  case STATUS_INVALID_HANDLE: // closed when the reader went
    return Outcome::reader_gone;
  case STATUS_IO_TIMEOUT:
    return Outcome::timed_out;
  case STATUS_BUFFER_TOO_SMALL:
    return Outcome::buffer_too_small;
  case STATUS_NOT_SUPPORTED:
    return Outcome::not_supported;
  default:
    return Outcome::failed;
  }
}

ULONG protocol_bit(Protocol protocol) {
  return protocol == Protocol::t0 ? SCARD_PROTOCOL_T0 : SCARD_PROTOCOL_T1;
}

bool vendor_code(std::uint32_t code) {
  switch (code) {
  case IOCTL_VENDOR_I2C_COMMAND:
  case IOCTL_VENDOR_I2C_WRITE:
  case IOCTL_VENDOR_I2C_READ:
  case IOCTL_VENDOR_WRITE:
  case IOCTL_VENDOR_READ:
    return true;
  default:
    return false;
  }
}

// Installed, the driver images sit beside this library; in the build tree
// (or with TALVOR_IMAGE_DIR) the host knows where they are.
std::string image_beside_us(const std::string &build) {
  if (const char *dir = std::getenv("TALVOR_IMAGE_DIR"); dir && *dir)
    return {};
  Dl_info info{};
  if (::dladdr(reinterpret_cast<const void *>(&image_beside_us), &info) == 0 ||
      info.dli_fname == nullptr)
    return {};
  const auto image = std::filesystem::path(info.dli_fname).parent_path() /
                     ("talvor" + build + ".so");
  std::error_code ignored;
  return std::filesystem::exists(image, ignored) ? image.string()
                                                 : std::string();
}

class HostedChannel final : public Channel {
public:
  HostedChannel(host::System &system, host::Reader *reader)
      : system_(system), reader_(reader) {}

  // Starts what feeds the slot, opens the reader.
  bool start(const DeviceName &name, std::string *error);
  // Waits for the calls in flight, powers the card down and removes the
  // reader; later calls find it gone.
  void close();

  Outcome presence(bool *present) override;
  Outcome power(PowerAction action, Bytes *atr) override;
  Outcome set_protocol(Protocol protocol) override;
  Outcome transmit(Protocol protocol, std::span<const std::uint8_t> apdu,
                   std::size_t capacity, Bytes *response) override;
  Outcome control(std::uint32_t code, std::span<const std::uint8_t> input,
                  std::size_t capacity, Bytes *output) override;
  Outcome attribute(std::uint32_t tag, std::size_t capacity,
                    Bytes *value) override;
  Outcome set_attribute(std::uint32_t tag,
                        std::span<const std::uint8_t> value) override;
  Outcome wait_for_event(int timeout) override;
  void wake() override;

private:
  host::System &system_;
  host::Reader *reader_;
  // Feed the slot; their threads stop before the reader goes.
  std::unique_ptr<SlotFifo> fifo_;
  std::unique_ptr<ViccSlot> vicc_;
  // calls_lock_ keeps the calls for this reader one at a time: pcscd does
  // not hold its own lock around every one. The polling thread's tracking
  // request does not take it, so that it never waits behind a transmit.
  std::mutex calls_lock_;
  // tracking_lock_ guards tracking_, wake_ and closing_.
  std::mutex tracking_lock_;
  kernel::Request tracking_;
  // A wake-up asked for while no wait was in progress, for the next one.
  bool wake_ = false;
  bool closing_ = false;
  // The presence last reported to pcscd, and a removal seen since: a card
  // taken out and put back between two looks is reported absent once, so
  // that pcscd never takes the new card for the old one.
  std::atomic<bool> reported_present_{false};
  std::atomic<bool> removal_seen_{false};
};

bool HostedChannel::start(const DeviceName &name, std::string *error) {
  if (name.vicc_port) {
    vicc_ = ViccSlot::open(*name.vicc_port, *reader_, name.vicc_profile, error);
    if (!vicc_)
      return false;
  } else {
    if (!name.slot_path.empty()) {
      CardChoice fallback = name.slot_card;
      if (!fallback.card)
        fallback.card = card::ReadyCard::t1_lrc;
      fifo_ = SlotFifo::open(name.slot_path, *reader_, fallback, error);
      if (!fifo_)
        return false;
    }
  }
  const NTSTATUS status = reader_->open();
  if (!NT_SUCCESS(status)) {
    *error = "the reader cannot be opened: " + kernel::status_text(status);
    return false;
  }
  // The driver hears of a card through its presence thread: give it a
  // moment, so that pcscd's first look finds the card already there.
  if (reader_->firmware().card_present()) {
    kernel::Request present = reader_->track(true);
    if (present.wait(kFirstPresence) == STATUS_PENDING) {
      present.cancel();
      present.wait();
    }
  }
  return true;
}

void HostedChannel::close() {
  {
    std::lock_guard guard(tracking_lock_);
    closing_ = true;
  }
  wake();
  fifo_.reset();
  vicc_.reset();
  std::lock_guard guard(calls_lock_);
  if (reader_->is_open())
    reader_->power(SCARD_POWER_DOWN);
  if (!NT_SUCCESS(system_.remove(reader_)))
    system_.unplug(reader_);
  reader_ = nullptr;
}

Outcome HostedChannel::presence(bool *present) {
  std::lock_guard guard(calls_lock_);
  if (reader_ == nullptr)
    return Outcome::reader_gone;
  const std::optional<ULONG> state = reader_->state();
  if (!state)
    return reader_->is_open() ? Outcome::failed : Outcome::reader_gone;
  const bool removed = removal_seen_.exchange(false);
  *present = *state > SCARD_ABSENT && !removed;
  reported_present_ = *present;
  return Outcome::ok;
}

Outcome HostedChannel::power(PowerAction action, Bytes *atr) {
  std::lock_guard guard(calls_lock_);
  if (reader_ == nullptr)
    return Outcome::reader_gone;
  ULONG how = SCARD_POWER_DOWN;
  if (action == PowerAction::up) {
    how = SCARD_COLD_RESET;
  } else if (action == PowerAction::reset) {
    // A card not powered yet is powered up.
    const std::optional<ULONG> state = reader_->state();
    how =
        state && *state >= SCARD_POWERED ? SCARD_WARM_RESET : SCARD_COLD_RESET;
  }
  host::Answer answer = reader_->power(how);
  if (answer.ok() && atr != nullptr)
    *atr = std::move(answer.bytes);
  return outcome_of(answer.status);
}

Outcome HostedChannel::set_protocol(Protocol protocol) {
  std::lock_guard guard(calls_lock_);
  if (reader_ == nullptr)
    return Outcome::reader_gone;
  const ULONG wanted = protocol_bit(protocol);
  host::Answer answer = reader_->set_protocol(wanted);
  if (answer.status == STATUS_INVALID_DEVICE_REQUEST ||
      answer.status == STATUS_INVALID_DEVICE_STATE)
    return Outcome::protocol_not_supported;
  if (!answer.ok())
    return outcome_of(answer.status);
  ULONG chosen = 0;
  if (answer.bytes.size() == sizeof chosen)
    std::memcpy(&chosen, answer.bytes.data(), sizeof chosen);
  return chosen == wanted ? Outcome::ok : Outcome::protocol_not_supported;
}

Outcome HostedChannel::transmit(Protocol protocol,
                                std::span<const std::uint8_t> apdu,
                                std::size_t capacity, Bytes *response) {
  std::lock_guard guard(calls_lock_);
  if (reader_ == nullptr)
    return Outcome::reader_gone;
  host::Answer answer = reader_->transmit(protocol_bit(protocol), apdu);
  if (!answer.ok())
    return outcome_of(answer.status);
  if (answer.bytes.size() > capacity)
    return Outcome::buffer_too_small;
  *response = std::move(answer.bytes);
  return Outcome::ok;
}

Outcome HostedChannel::control(std::uint32_t code,
                               std::span<const std::uint8_t> input,
                               std::size_t capacity, Bytes *output) {
  if (!vendor_code(code))
    return Outcome::not_supported;
  std::lock_guard guard(calls_lock_);
  if (reader_ == nullptr)
    return Outcome::reader_gone;
  kernel::IoResult result =
      reader_->ioctl(code, input, std::min(capacity, kMaxReply));
  if (!NT_SUCCESS(result.status))
    return outcome_of(result.status);
  *output = std::move(result.output);
  return Outcome::ok;
}

Outcome HostedChannel::attribute(std::uint32_t tag, std::size_t capacity,
                                 Bytes *value) {
  std::lock_guard guard(calls_lock_);
  if (reader_ == nullptr)
    return Outcome::reader_gone;
  host::Answer answer = reader_->attribute(tag, std::min(capacity, kMaxReply));
  if (answer.status == STATUS_INVALID_DEVICE_STATE) // no card to tell of
    return Outcome::card_absent;
  if (!answer.ok())
    return outcome_of(answer.status);
  *value = std::move(answer.bytes);
  return Outcome::ok;
}

Outcome HostedChannel::set_attribute(std::uint32_t tag,
                                     std::span<const std::uint8_t> value) {
  std::lock_guard guard(calls_lock_);
  if (reader_ == nullptr)
    return Outcome::reader_gone;
  Bytes input(sizeof(ULONG));
  const ULONG code = tag;
  std::memcpy(input.data(), &code, sizeof code);
  input.insert(input.end(), value.begin(), value.end());
  return outcome_of(
      reader_->ioctl(IOCTL_SMARTCARD_SET_ATTRIBUTE, input, 0).status);
}

Outcome HostedChannel::wait_for_event(int timeout) {
  // Track the change from what pcscd last saw: a change made since then
  // completes the request at once.
  const bool want_present = !reported_present_;
  kernel::Request request;
  {
    std::lock_guard guard(tracking_lock_);
    if (closing_)
      return Outcome::reader_gone;
    if (std::exchange(wake_, false))
      return Outcome::ok;
    tracking_ = reader_->track(want_present);
    request = tracking_;
  }
  NTSTATUS status = timeout > 0
                        ? request.wait(std::chrono::milliseconds(timeout))
                        : request.wait();
  if (status == STATUS_PENDING) {
    request.cancel();
    status = request.wait();
  }
  {
    std::lock_guard guard(tracking_lock_);
    tracking_ = {};
    wake_ = false;
  }
  if (NT_SUCCESS(status) && !want_present)
    removal_seen_ = true;
  // A time-out or a wake-up is no failure: pcscd looks at the card again.
  if (NT_SUCCESS(status) || status == STATUS_CANCELLED)
    return Outcome::ok;
  return outcome_of(status);
}

void HostedChannel::wake() {
  std::lock_guard guard(tracking_lock_);
  wake_ = true;
  if (tracking_.pending())
    tracking_.cancel();
}

// ---- the channels of this process -----------------------------------------

// The hosted kernel and its system, while any channel is open.
// hosted_lock guards everything in Hosted; a channel's own calls run
// outside it. Never destroyed: pcscd may exit with readers still open, and
// a teardown at exit would run beside their threads.
struct Hosted {
  std::unique_ptr<kernel::Kernel> kernel;
  std::unique_ptr<host::System> system;
  std::map<std::uint32_t, std::shared_ptr<HostedChannel>> channels;
};
std::mutex hosted_lock;
Hosted &hosted = *new Hosted;

} // namespace

Outcome open_channel(std::uint32_t lun, std::string_view device_name,
                     std::string *error) {
  auto name = parse_device_name(device_name, error);
  if (!name)
    return Outcome::failed;
  std::lock_guard guard(hosted_lock);
  if (hosted.channels.contains(lun)) {
    *error = "Lun " + std::to_string(lun) + " is open already";
    return Outcome::failed;
  }
  if (!hosted.kernel) {
    kernel::Options options;
    options.clock = kernel::Clock::RealTime;
    hosted.kernel = std::make_unique<kernel::Kernel>(options);
    // pcscd runs for days: no trace is kept (TALVOR_TRACE still echoes it).
    hosted.kernel->trace().set_retain(false);
    hosted.system = std::make_unique<host::System>(*hosted.kernel);
  }
  host::System &system = *hosted.system;
  NTSTATUS status = system.load(name->build, image_beside_us(name->build));
  host::Reader *reader = nullptr;
  if (NT_SUCCESS(status))
    reader = system.plug(
        name->build, name->reader,
        [&name](std::shared_ptr<usb::UsbDevice> device) {
          // In the slot before the reader is configured: the first
          // interrupt read reports it, and only that one.
          if (name->slot_card.card && !name->vicc_port)
            std::static_pointer_cast<reader::ReaderFirmware>(device)->insert(
                make_slot_card(name->slot_card));
          return device;
        },
        &status);
  if (reader == nullptr || !NT_SUCCESS(status)) {
    *error = system.last_error();
    if (reader != nullptr)
      system.unplug(reader);
  } else {
    auto channel = std::make_shared<HostedChannel>(system, reader);
    if (channel->start(*name, error)) {
      hosted.channels.emplace(lun, std::move(channel));
      return Outcome::ok;
    }
    channel->close();
  }
  if (hosted.channels.empty()) {
    hosted.system.reset();
    hosted.kernel.reset();
  }
  return Outcome::failed;
}

std::shared_ptr<Channel> find_channel(std::uint32_t lun) {
  std::lock_guard guard(hosted_lock);
  auto found = hosted.channels.find(lun);
  if (found == hosted.channels.end())
    return nullptr;
  return found->second;
}

Outcome close_channel(std::uint32_t lun) {
  std::lock_guard guard(hosted_lock);
  auto found = hosted.channels.find(lun);
  if (found == hosted.channels.end())
    return Outcome::reader_gone;
  std::shared_ptr<HostedChannel> channel = std::move(found->second);
  hosted.channels.erase(found);
  channel->close();
  channel.reset();
  if (hosted.channels.empty()) {
    hosted.system.reset();
    hosted.kernel.reset();
  }
  return Outcome::ok;
}

} // namespace talvor::pcsc
