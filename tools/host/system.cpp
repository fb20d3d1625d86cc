// The host: bus, managers and application around the driver images.
#include "tools/host/system.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>

#include <winsmcrd.h>

namespace talvor::host {

namespace {

std::vector<std::uint8_t> ulong_bytes(ULONG value) {
  std::vector<std::uint8_t> bytes(sizeof value);
  std::memcpy(bytes.data(), &value, sizeof value);
  return bytes;
}

// Names the host in verifier findings about the requests it sends.
void HostBusRemoval() {}

Answer answer_of(const kernel::IoResult &result) {
  return {result.status, result.output};
}

} // namespace

std::string image_path(const std::string &build) {
  const char *dir = std::getenv("TALVOR_IMAGE_DIR");
  std::string base = dir != nullptr && *dir != '\0' ? dir : TALVOR_IMAGE_DIR;
  return base + "/talvor" + build + ".so";
}

// ---- Reader ---------------------------------------------------------------

bool Reader::started() const {
  auto state = system_.pnp_->state(pdo_);
  return state && *state == kernel::DeviceNodeState::Started;
}

void Reader::insert(std::unique_ptr<card::Card> card) {
  firmware_->insert(std::move(card));
}

std::unique_ptr<card::Card> Reader::take_card() {
  return firmware_->remove();
}

NTSTATUS Reader::open() {
  if (is_open())
    return STATUS_SUCCESS;
  std::string link;
  for (const auto &known : system_.kernel_.io().interfaces(kReaderInterface))
    if (known.physical_device == pdo_)
      link = known.symbolic_link;
  if (link.empty())
    return STATUS_OBJECT_NAME_NOT_FOUND; // not started, or being removed
  kernel::OpenResult opened = system_.app_->open(link);
  if (!NT_SUCCESS(opened.status))
    return opened.status;
  handle_ = opened.handle;
  watch_ = system_.pnp_->watch(pdo_, [this](kernel::TargetDeviceChange change) {
    if (change != kernel::TargetDeviceChange::RemoveCancelled)
      close();
  });
  return STATUS_SUCCESS;
}

NTSTATUS Reader::close() {
  if (watch_) {
    // Not from inside the notification itself: the PnP manager is busy
    // serving the request that called it, and unwatching waits for it.
    system_.pnp_->unwatch(*watch_);
    watch_.reset();
  }
  if (!is_open())
    return STATUS_SUCCESS;
  kernel::Handle handle = handle_;
  handle_ = kernel::Handle::invalid;
  return system_.app_->close(handle);
}

kernel::IoResult Reader::ioctl(ULONG code, std::span<const std::uint8_t> input,
                               std::size_t output_capacity) {
  return system_.app_->device_io_control(handle_, code, input, output_capacity);
}

kernel::Request Reader::begin(ULONG code, std::span<const std::uint8_t> input,
                              std::size_t output_capacity) {
  return system_.app_->begin_device_io_control(handle_, code, input,
                                               output_capacity);
}

Answer Reader::power(ULONG how) {
  // The library's buffer for the ATR is 64 bytes; ask for one more to see
  // a reply that would not fit.
  return answer_of(ioctl(IOCTL_SMARTCARD_POWER, ulong_bytes(how),
                         how == SCARD_POWER_DOWN ? 0 : 64));
}

Answer Reader::set_protocol(ULONG protocols) {
  return answer_of(ioctl(IOCTL_SMARTCARD_SET_PROTOCOL, ulong_bytes(protocols),
                         sizeof(ULONG)));
}

Answer Reader::transmit(ULONG protocol, std::span<const std::uint8_t> apdu) {
  const SCARD_IO_REQUEST header = {protocol, sizeof(SCARD_IO_REQUEST)};
  std::vector<std::uint8_t> input(sizeof header);
  std::memcpy(input.data(), &header, sizeof header);
  input.insert(input.end(), apdu.begin(), apdu.end());
  // Up to 256 bytes and SW1 SW2 after the header.
  kernel::IoResult result =
      ioctl(IOCTL_SMARTCARD_TRANSMIT, input, sizeof(SCARD_IO_REQUEST) + 258);
  Answer answer{result.status, {}};
  if (answer.ok()) {
    if (result.output.size() < sizeof(SCARD_IO_REQUEST))
      return {STATUS_INVALID_DEVICE_STATE, {}}; // no header: not an answer
    answer.bytes.assign(result.output.begin() + sizeof(SCARD_IO_REQUEST),
                        result.output.end());
  }
  return answer;
}

std::optional<ULONG> Reader::state() {
  kernel::IoResult result = ioctl(IOCTL_SMARTCARD_GET_STATE, {}, sizeof(ULONG));
  if (!NT_SUCCESS(result.status) || result.output.size() != sizeof(ULONG))
    return std::nullopt;
  ULONG value = 0;
  std::memcpy(&value, result.output.data(), sizeof value);
  return value;
}

Answer Reader::attribute(ULONG tag, std::size_t capacity) {
  return answer_of(
      ioctl(IOCTL_SMARTCARD_GET_ATTRIBUTE, ulong_bytes(tag), capacity));
}

kernel::Request Reader::track(bool present) {
  return begin(present ? IOCTL_SMARTCARD_IS_PRESENT
                       : IOCTL_SMARTCARD_IS_ABSENT);
}

// ---- System ---------------------------------------------------------------

System::System(kernel::Kernel &kernel)
    : kernel_(kernel), bus_(std::make_unique<usb::UsbBus>(kernel)) {
  pnp_.emplace(kernel_);
  power_.emplace(*pnp_);
  loader_.emplace(kernel_, &*pnp_);
  app_.emplace(kernel_);
}

System::~System() {
  shut_down();
}

NTSTATUS System::load(const std::string &build, const std::string &image) {
  if (build != "11" && build != "10") {
    last_error_ = "no build " + build + " (there are 11 and 10)";
    return STATUS_OBJECT_NAME_INVALID;
  }
  if (loader_->driver("TALVOR" + build) != nullptr)
    return STATUS_SUCCESS;
  const std::string path = image.empty() ? image_path(build) : image;
  NTSTATUS status = loader_->load_driver(path, "TALVOR" + build);
  if (!NT_SUCCESS(status))
    last_error_ = path + ": " + loader_->last_error();
  return status;
}

Reader *System::plug(const std::string &build, reader::ReaderOptions options,
                     const DeviceWrap &wrap, NTSTATUS *status) {
  auto firmware = std::make_shared<reader::ReaderFirmware>(kernel_, options);
  std::shared_ptr<usb::UsbDevice> device = firmware;
  if (wrap)
    device = wrap(firmware);
  PDEVICE_OBJECT pdo = bus_->plug(device);
  if (pdo == nullptr) {
    last_error_ = "the bus has no free port";
    if (status != nullptr)
      *status = STATUS_INSUFFICIENT_RESOURCES;
    return nullptr;
  }
  readers_.push_back(
      std::unique_ptr<Reader>(new Reader(*this, std::move(firmware), pdo)));
  NTSTATUS added = pnp_->add_device(pdo, loader_->driver("TALVOR" + build));
  if (!NT_SUCCESS(added))
    last_error_ = "the reader did not start: " + kernel::status_text(added);
  if (status != nullptr)
    *status = added;
  return readers_.back().get();
}

NTSTATUS System::remove(Reader *reader) {
  reader->close();
  NTSTATUS status = pnp_->query_remove(reader->pdo_);
  if (NT_SUCCESS(status))
    status = pnp_->remove(reader->pdo_);
  if (NT_SUCCESS(status))
    pull(reader->pdo_);
  else
    pnp_->cancel_remove(reader->pdo_);
  if (NT_SUCCESS(status))
    forget(reader);
  return status;
}

NTSTATUS System::unplug(Reader *reader) {
  PDEVICE_OBJECT pdo = reader->pdo_;
  bus_->unplug(pdo);
  auto state = pnp_->state(pdo);
  NTSTATUS status = STATUS_SUCCESS;
  if (state && *state != kernel::DeviceNodeState::Removed) {
    // The application hears of it and closes (the watch), then the removal.
    status = pnp_->surprise_remove(pdo);
    reader->close();
    if (NT_SUCCESS(status))
      status = pnp_->remove(pdo);
    await_deletion(pdo);
  } else {
    reader->close();
    pull(pdo);
  }
  forget(reader);
  return status;
}

void System::pull(PDEVICE_OBJECT pdo) {
  if (!bus_->owns(pdo))
    return;
  bus_->unplug(pdo);
  // The bus driver's own removal of a PDO whose function driver is gone.
  kernel::call_and_wait(
      kernel_, pdo,
      [](IO_STACK_LOCATION &stack) {
        stack.MajorFunction = IRP_MJ_PNP;
        stack.MinorFunction = IRP_MN_REMOVE_DEVICE;
      },
      10'000'000ull * 60, reinterpret_cast<const void *>(&HostBusRemoval));
  await_deletion(pdo);
}

void System::await_deletion(PDEVICE_OBJECT pdo) {
  // The PDO of a device that is gone is deleted by its bus's completion
  // thread once the driver has detached; the bus must not go before it.
  for (int tries = 0; tries < 10'000 && bus_->owns(pdo); ++tries) {
    LARGE_INTEGER interval;
    interval.QuadPart = -10'000; // 1 ms
    KeDelayExecutionThread(KernelMode, FALSE, &interval);
  }
}

void System::forget(Reader *reader) {
  readers_.remove_if(
      [reader](const auto &held) { return held.get() == reader; });
}

NTSTATUS System::sleep(SYSTEM_POWER_STATE state) {
  return power_->sleep(state);
}

NTSTATUS System::wake() {
  return power_->wake();
}

void System::shut_down() {
  if (down_)
    return;
  down_ = true;
  for (auto &reader : readers_)
    reader->close();
  app_->exit();
  for (auto &reader : readers_) {
    PDEVICE_OBJECT pdo = reader->pdo_;
    auto state = pnp_->state(pdo);
    bus_->unplug(pdo);
    if (state && *state != kernel::DeviceNodeState::Removed) {
      pnp_->surprise_remove(pdo);
      pnp_->remove(pdo);
      await_deletion(pdo);
    } else {
      pull(pdo);
    }
  }
  readers_.clear();
  for (const char *service : {"TALVOR11", "TALVOR10"})
    if (loader_->driver(service) != nullptr)
      loader_->unload_driver(service);
  app_.reset();
  loader_.reset();
  power_.reset();
  pnp_.reset();
  bus_.reset();
}

} // namespace talvor::host
