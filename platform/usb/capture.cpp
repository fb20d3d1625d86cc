#include "platform/usb/capture.h"

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <map>
#include <mutex>
#include <optional>
#include <span>
#include <utility>

namespace talvor::usb {

namespace {

// pcap: the classic file format, written little-endian.
constexpr std::uint32_t kPcapMagic = 0xA1B2C3D4; // microsecond time stamps
constexpr std::uint32_t kSnapLength = 0x40000;
constexpr std::uint32_t kLinktypeUsbLinuxMmapped = 220;

// The usbmon packet header (struct usbmon_packet of the mmap interface).
constexpr std::size_t kHeaderSize = 64;
constexpr std::size_t kMaxData = kSnapLength - kHeaderSize;
constexpr std::uint16_t kBus = 1;
constexpr std::uint8_t kFirstDevice = 2; // 1 is the root hub

// URB transfer flags usbmon copies.
constexpr std::uint32_t kUrbShortNotOk = 0x0001;
constexpr std::uint32_t kUrbDirIn = 0x0200;

// Linux errno values, as a usbmon status carries them negated, whatever
// the host that writes the file.
enum LinuxErrno : std::int32_t {
  kENOENT = 2,
  kEPIPE = 32,
  kETIME = 62,
  kENOSR = 63,
  kECOMM = 70,
  kEPROTO = 71,
  kEOVERFLOW = 75,
  kEILSEQ = 84,
  kECONNRESET = 104,
  kESHUTDOWN = 108,
  kETIMEDOUT = 110,
  kEINPROGRESS = 115,
  kEREMOTEIO = 121,
};

// Windows system time (100 ns units since 1601) of the Unix epoch.
constexpr std::uint64_t kUnixEpoch = 116'444'736'000'000'000ULL;

// What a Linux host controller driver would have completed the URB with.
std::int32_t linux_status(USBD_STATUS status) {
  switch (status) {
  case USBD_STATUS_SUCCESS:
    return 0;
  case USBD_STATUS_STALL_PID:
  case USBD_STATUS_ENDPOINT_HALTED:
    return -kEPIPE;
  case USBD_STATUS_CANCELED:
    return -kECONNRESET;
  case USBD_STATUS_DEVICE_GONE:
    return -kESHUTDOWN;
  case USBD_STATUS_CRC:
    return -kEILSEQ;
  case USBD_STATUS_DEV_NOT_RESPONDING:
    return -kETIME;
  case USBD_STATUS_TIMEOUT:
    return -kETIMEDOUT;
  case USBD_STATUS_DATA_OVERRUN:
  case USBD_STATUS_BABBLE_DETECTED:
    return -kEOVERFLOW;
  case USBD_STATUS_DATA_UNDERRUN:
  case USBD_STATUS_ERROR_SHORT_TRANSFER:
    return -kEREMOTEIO;
  case USBD_STATUS_BUFFER_OVERRUN:
    return -kECOMM;
  case USBD_STATUS_BUFFER_UNDERRUN:
    return -kENOSR;
  default:
    return -kEPROTO;
  }
}

std::uint8_t usbmon_type(TransferType type) {
  switch (type) {
  case TransferType::Isochronous:
    return 0;
  case TransferType::Interrupt:
    return 1;
  case TransferType::Control:
    return 2;
  case TransferType::Bulk:
    return 3;
  }
  return 2;
}

void put16(std::uint8_t *at, std::uint16_t value) {
  at[0] = static_cast<std::uint8_t>(value);
  at[1] = static_cast<std::uint8_t>(value >> 8);
}

void put32(std::uint8_t *at, std::uint32_t value) {
  for (int i = 0; i < 4; ++i)
    at[i] = static_cast<std::uint8_t>(value >> (8 * i));
}

void put64(std::uint8_t *at, std::uint64_t value) {
  for (int i = 0; i < 8; ++i)
    at[i] = static_cast<std::uint8_t>(value >> (8 * i));
}

// One submission ('S') or completion ('C') of one URB.
struct Event {
  std::uint64_t urb = 0;
  char kind = 'S';
  const UsbTransfer::Request *request = nullptr;
  std::uint8_t device = 0;
  std::int32_t interval = 0;
  std::int32_t status = 0;
  std::uint32_t length = 0;           // urb length: asked for, or moved
  std::span<const std::uint8_t> data; // what follows the header
};

// The pcap record of `event` at `time` (Windows system time).
Bytes record(const Event &event, std::uint64_t time) {
  const UsbTransfer::Request &request = *event.request;
  const bool in = (request.endpoint & 0x80) != 0;
  const bool setup = event.kind == 'S' && request.setup.has_value();
  const std::size_t captured = std::min(event.data.size(), kMaxData);
  const std::uint64_t unix_time = time > kUnixEpoch ? time - kUnixEpoch : 0;
  const auto seconds = static_cast<std::uint32_t>(unix_time / 10'000'000);
  const auto micros = static_cast<std::uint32_t>(unix_time % 10'000'000 / 10);

  Bytes bytes(16 + kHeaderSize + captured, 0);
  std::uint8_t *at = bytes.data();
  put32(at + 0, seconds);
  put32(at + 4, micros);
  put32(at + 8, static_cast<std::uint32_t>(kHeaderSize + captured));
  put32(at + 12, static_cast<std::uint32_t>(kHeaderSize + event.data.size()));

  std::uint8_t *header = at + 16;
  put64(header + 0, event.urb);
  header[8] = static_cast<std::uint8_t>(event.kind);
  header[9] = usbmon_type(request.type);
  header[10] = request.endpoint;
  header[11] = event.device;
  put16(header + 12, kBus);
  header[14] = setup ? 0 : '-';
  // No data: '<' for an IN submission, '>' for an OUT completion.
  char data_flag = 0;
  if (captured == 0 && event.kind == 'S' && in)
    data_flag = '<';
  else if (captured == 0 && event.kind == 'C' && !in)
    data_flag = '>';
  header[15] = static_cast<std::uint8_t>(data_flag);
  put64(header + 16, seconds);
  put32(header + 24, micros);
  put32(header + 28, static_cast<std::uint32_t>(event.status));
  put32(header + 32, event.length);
  put32(header + 36, static_cast<std::uint32_t>(captured));
  if (setup) {
    const SetupPacket &packet = *request.setup;
    header[40] = packet.request_type;
    header[41] = packet.request;
    put16(header + 42, packet.value);
    put16(header + 44, packet.index);
    put16(header + 46, packet.length);
  }
  put32(header + 48, static_cast<std::uint32_t>(event.interval));
  std::uint32_t flags = in ? kUrbDirIn : 0;
  if (in && !request.short_ok)
    flags |= kUrbShortNotOk;
  put32(header + 56, flags);
  if (captured != 0)
    std::memcpy(header + kHeaderSize, event.data.data(), captured);
  return bytes;
}

} // namespace

// The file, shared by the capture and its wrapped devices, whose
// completions may come after the capture is gone.
struct Capture::Writer {
  Writer(kernel::Kernel &kernel_, std::string path_, std::FILE *file_)
      : kernel(kernel_), path(std::move(path_)), file(file_) {}

  kernel::Kernel &kernel;
  const std::string path;

  // file_lock guards every member below. Events come from any thread, at
  // DISPATCH_LEVEL too: nothing waits under it but the write itself.
  mutable std::mutex file_lock;
  std::FILE *file; // null once closed
  std::string error;
  std::uint64_t next_urb = 1;
  std::uint8_t next_device = kFirstDevice;
  // Completions the device delivers after a delay, time-stamped when the
  // host sees them: held back until the clock passes them, so the file
  // stays in time order.
  std::map<std::pair<std::uint64_t, std::uint64_t>, Bytes> later;
  std::uint64_t sequence = 0;

  std::uint64_t urb_id() {
    std::lock_guard guard(file_lock);
    return next_urb++;
  }

  std::uint8_t device_number() {
    std::lock_guard guard(file_lock);
    return next_device < 0xFF ? next_device++ : next_device;
  }

  // Writes `event` as of `delay` from now, after whatever fell due before.
  void put(const Event &event, std::uint64_t delay = 0) {
    std::lock_guard guard(file_lock);
    if (file == nullptr)
      return;
    const std::uint64_t now = kernel.system_time();
    later.emplace(std::pair{now + delay, sequence++},
                  record(event, now + delay));
    while (!later.empty() && later.begin()->first.first <= now) {
      write_locked(later.begin()->second);
      later.erase(later.begin());
    }
  }

  void write_locked(const Bytes &bytes) {
    if (!error.empty())
      return;
    if (std::fwrite(bytes.data(), 1, bytes.size(), file) != bytes.size())
      fail_locked();
  }

  void fail_locked() {
    if (error.empty())
      error = "cannot write " + path + ": " + std::strerror(errno);
  }

  void close() {
    std::lock_guard guard(file_lock);
    if (file == nullptr)
      return;
    for (const auto &[when, bytes] : later)
      write_locked(bytes);
    later.clear();
    if (std::fclose(file) != 0)
      fail_locked();
    file = nullptr;
  }
};

namespace {

// A wrapped device: passes each transfer on to the inner device as a
// transfer of its own and records both ends of it.
class CapturedDevice final : public UsbDevice {
public:
  CapturedDevice(std::shared_ptr<UsbDevice> inner,
                 std::shared_ptr<Capture::Writer> writer)
      : inner_(std::move(inner)), state_(std::make_shared<State>()) {
    state_->writer = std::move(writer);
    state_->device = state_->writer->device_number();
    for (const Bytes &configuration : inner_->descriptors().configurations)
      if (auto parsed = parse_configuration(configuration))
        for (const auto &interface : parsed->interfaces)
          for (const auto &endpoint : interface.endpoints)
            state_->intervals[endpoint.address] = endpoint.interval;
  }

  const UsbDescriptors &descriptors() const override {
    return inner_->descriptors();
  }
  Speed speed() const override { return inner_->speed(); }
  void attached(UsbPort &port) override { inner_->attached(port); }

  // The bus fails what it still waits for without telling the device:
  // those URBs end here, as a disconnect ends them.
  void detached() override {
    inner_->detached();
    std::map<std::uint64_t, Held> gone;
    {
      std::lock_guard guard(state_->held_lock);
      gone.swap(state_->held);
    }
    for (auto &[id, held] : gone) {
      held.inner->abort();
      state_->end(held, -kESHUTDOWN);
    }
  }

  void submit(const TransferPtr &transfer) override {
    Held held{state_->writer->urb_id(), nullptr};
    const UsbTransfer::Request &request = transfer->request();
    Event submitted = state_->event(held.urb, 'S', request);
    submitted.status = -kEINPROGRESS;
    submitted.length = request.setup ? request.setup->length : request.length;
    if (!transfer->in())
      submitted.data = request.out;
    state_->writer->put(submitted);

    std::weak_ptr<UsbTransfer> outer = transfer;
    std::weak_ptr<State> weak_state = state_;
    const std::uint64_t id = transfer->id();
    held.inner = std::make_shared<UsbTransfer>(
        id, request,
        [outer, weak_state, id](TransferResult result, std::uint64_t delay) {
          const TransferResult seen = result;
          auto target = outer.lock();
          const bool taken =
              target && target->complete(std::move(result), delay);
          auto state = weak_state.lock();
          if (!state)
            return;
          std::optional<Held> held = state->take(id);
          if (!held)
            return; // its cancellation is recorded already
          if (taken)
            state->complete(*held, seen, delay);
          else // the host gave up on it before the device answered
            state->end(*held, -kECONNRESET);
        });
    {
      std::lock_guard guard(state_->held_lock);
      state_->held[id] = held;
    }
    inner_->submit(held.inner);
  }

  void cancelled(const TransferPtr &transfer) override {
    std::optional<Held> held = state_->take(transfer->id());
    if (!held)
      return;
    state_->end(*held, -kECONNRESET);
    if (held->inner->abort())
      inner_->cancelled(held->inner);
  }

private:
  struct Held {
    std::uint64_t urb = 0;
    TransferPtr inner;
    const UsbTransfer::Request &request() const { return inner->request(); }
  };

  // Shared with the completions in flight, which may outlive the device.
  struct State {
    std::shared_ptr<Capture::Writer> writer;
    std::uint8_t device = 0;
    std::map<std::uint8_t, std::uint8_t> intervals; // by endpoint address

    // held_lock guards `held`: transfers passed on and not yet ended, by
    // the outer transfer's id. Whoever takes one out records its end.
    std::mutex held_lock;
    std::map<std::uint64_t, Held> held;

    std::optional<Held> take(std::uint64_t id) {
      std::lock_guard guard(held_lock);
      auto found = held.find(id);
      if (found == held.end())
        return std::nullopt;
      Held taken = std::move(found->second);
      held.erase(found);
      return taken;
    }

    Event event(std::uint64_t urb, char kind,
                const UsbTransfer::Request &request) const {
      Event made;
      made.urb = urb;
      made.kind = kind;
      made.request = &request;
      made.device = device;
      if (request.type == TransferType::Interrupt ||
          request.type == TransferType::Isochronous) {
        auto found = intervals.find(request.endpoint);
        made.interval = found != intervals.end() ? found->second : 0;
      }
      return made;
    }

    // The device's answer, as the host sees it `delay` from now: IN data,
    // or how many OUT bytes the device took.
    void complete(const Held &held, const TransferResult &result,
                  std::uint64_t delay) {
      Event completed = event(held.urb, 'C', held.request());
      completed.status = linux_status(result.status);
      if (held.inner->in()) {
        completed.data = result.data;
        completed.length = static_cast<std::uint32_t>(result.data.size());
      } else {
        completed.length = result.accepted.value_or(
            USBD_SUCCESS(result.status) ? held.request().length : 0);
      }
      writer->put(completed, delay);
    }

    // A URB the host gave up on, or that a disconnect ended.
    void end(const Held &held, std::int32_t status) {
      Event ended = event(held.urb, 'C', held.request());
      ended.status = status;
      writer->put(ended);
    }
  };

  const std::shared_ptr<UsbDevice> inner_;
  const std::shared_ptr<State> state_;
};

} // namespace

Capture::Capture(std::shared_ptr<Writer> writer) : writer_(std::move(writer)) {}

Capture::~Capture() {
  close();
}

std::unique_ptr<Capture> Capture::open(kernel::Kernel &kernel,
                                       const std::string &path,
                                       std::string *error) {
  std::FILE *file = std::fopen(path.c_str(), "wb");
  if (file == nullptr) {
    if (error != nullptr)
      *error = "cannot create " + path + ": " + std::strerror(errno);
    return nullptr;
  }
  std::array<std::uint8_t, 24> header{};
  put32(&header[0], kPcapMagic);
  put16(&header[4], 2); // version 2.4
  put16(&header[6], 4);
  put32(&header[16], kSnapLength);
  put32(&header[20], kLinktypeUsbLinuxMmapped);
  if (std::fwrite(header.data(), 1, header.size(), file) != header.size()) {
    if (error != nullptr)
      *error = "cannot write " + path + ": " + std::strerror(errno);
    std::fclose(file);
    return nullptr;
  }
  return std::unique_ptr<Capture>(
      new Capture(std::make_shared<Writer>(kernel, path, file)));
}

std::shared_ptr<UsbDevice> Capture::wrap(std::shared_ptr<UsbDevice> device) {
  return std::make_shared<CapturedDevice>(std::move(device), writer_);
}

void Capture::close() {
  writer_->close();
}

std::string Capture::error() const {
  std::lock_guard guard(writer_->file_lock);
  return writer_->error;
}

} // namespace talvor::usb
