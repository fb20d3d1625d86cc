// The driver as a host runs it outside the tests: a driver build loaded by
// the kernel as its service, readers plugged on a USB bus and started by the
// PnP manager, and one application that opens them through the smart card
// reader interface and makes the resource manager's calls. The talvor tool,
// the IFD handler and the benchmarks share it.
//
// Under the simulation clock every call, the constructor and the destructor
// included, runs inside Kernel::run(); under the real-time clock any thread
// may call, one reader's calls one at a time.
#pragma once

#include <cstdint>
#include <functional>
#include <list>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include <wdm.h>

#include "platform/kernel/application.h"
#include "platform/kernel/kernel.h"
#include "platform/kernel/loader.h"
#include "platform/kernel/pnp.h"
#include "platform/kernel/power.h"
#include "platform/usb/bus.h"
#include "sim/card/card.h"
#include "sim/reader/reader.h"

namespace talvor::host {

// The smart card reader device interface class.
inline constexpr GUID kReaderInterface = {
    0x50DD5230,
    0xBA8A,
    0x11D1,
    {0xBF, 0x5D, 0x00, 0x00, 0xF8, 0x05, 0xF5, 0x30}};

// The driver image of build "11" or "10": from TALVOR_IMAGE_DIR when set,
// else where this tree built it.
std::string image_path(const std::string &build);

// What a request gave back: its status and the caller's bytes.
struct Answer {
  NTSTATUS status = STATUS_UNSUCCESSFUL;
  std::vector<std::uint8_t> bytes;
  bool ok() const { return NT_SUCCESS(status); }
};

// A device model put between the bus and the reader's firmware (a capture,
// a fault injector); given the firmware, returns what goes on the bus.
using DeviceWrap = std::function<std::shared_ptr<usb::UsbDevice>(
    std::shared_ptr<usb::UsbDevice>)>;

class System;

// One reader on the bus and the application's handle on it.
class Reader {
public:
  Reader(const Reader &) = delete;
  Reader &operator=(const Reader &) = delete;

  reader::ReaderFirmware &firmware() { return *firmware_; }
  PDEVICE_OBJECT pdo() const { return pdo_; }
  // Whether the PnP manager started it.
  bool started() const;

  // The slot: a card in (a presence byte 1) or out (0).
  void insert(std::unique_ptr<card::Card> card);
  std::unique_ptr<card::Card> take_card();

  // Opens the reader through its interface, as the resource manager does;
  // the handle is closed when the PnP manager announces a removal.
  NTSTATUS open();
  NTSTATUS close();
  bool is_open() const { return handle_ != kernel::Handle::invalid; }

  kernel::IoResult ioctl(ULONG code, std::span<const std::uint8_t> input = {},
                         std::size_t output_capacity = 0);
  kernel::Request begin(ULONG code, std::span<const std::uint8_t> input = {},
                        std::size_t output_capacity = 0);

  // The resource manager's calls. power(): SCARD_COLD_RESET or
  // SCARD_WARM_RESET give the ATR, SCARD_POWER_DOWN nothing.
  Answer power(ULONG how);
  // SCARD_PROTOCOL_* bits offered; the bytes are the protocol chosen.
  Answer set_protocol(ULONG protocols);
  // One APDU in `protocol` (SCARD_PROTOCOL_T0 or _T1): the response, data
  // and SW1 SW2, without the request header.
  Answer transmit(ULONG protocol, std::span<const std::uint8_t> apdu);
  // SCARD_ABSENT to SCARD_SPECIFIC (IOCTL_SMARTCARD_GET_STATE).
  std::optional<ULONG> state();
  Answer attribute(ULONG tag, std::size_t capacity = 64);
  // Card tracking: completes when a card is present (or absent), at once
  // if it already is; pending until then, cancellable.
  kernel::Request track(bool present);

private:
  friend class System;
  Reader(System &system, std::shared_ptr<reader::ReaderFirmware> firmware,
         PDEVICE_OBJECT pdo)
      : system_(system), firmware_(std::move(firmware)), pdo_(pdo) {}

  System &system_;
  std::shared_ptr<reader::ReaderFirmware> firmware_;
  PDEVICE_OBJECT pdo_;
  kernel::Handle handle_ = kernel::Handle::invalid;
  std::optional<std::uint64_t> watch_;
};

class System {
public:
  explicit System(kernel::Kernel &kernel);
  // Shuts down what is still up (see shut_down()).
  ~System();
  System(const System &) = delete;
  System &operator=(const System &) = delete;

  kernel::Kernel &kernel() { return kernel_; }
  kernel::Application &application() { return *app_; }
  kernel::PnpManager &pnp() { return *pnp_; }
  kernel::PowerManager &power() { return *power_; }
  usb::UsbBus &bus() { return *bus_; }

  // Loads build "11" or "10" as service TALVOR11 or TALVOR10, from
  // `image` when given, else from image_path(build); an error names the
  // cause in last_error().
  NTSTATUS load(const std::string &build, const std::string &image = {});
  // Plugs a new reader and lets the PnP manager add and start it with a
  // loaded build. The reader comes back also when its start failed (its
  // status tells); nullptr only when the bus refused it.
  Reader *plug(const std::string &build, reader::ReaderOptions options = {},
               const DeviceWrap &wrap = {}, NTSTATUS *status = nullptr);
  // Orderly removal: the handle closed, the query, the removal, the reader
  // off the bus. The Reader is gone afterwards.
  NTSTATUS remove(Reader *reader);
  // The cable pulled: surprise removal, then removal once the handle is
  // closed. The Reader is gone afterwards.
  NTSTATUS unplug(Reader *reader);

  // System sleep (S3 by default) and resume.
  NTSTATUS sleep(SYSTEM_POWER_STATE state = PowerSystemSleeping3);
  NTSTATUS wake();

  // Every reader off the bus, the application's handles closed, the drivers
  // unloaded. Idempotent.
  void shut_down();

  const std::string &last_error() const { return last_error_; }

private:
  friend class Reader;
  void forget(Reader *reader);
  void pull(PDEVICE_OBJECT pdo);
  void await_deletion(PDEVICE_OBJECT pdo);

  kernel::Kernel &kernel_;
  std::unique_ptr<usb::UsbBus> bus_;
  std::optional<kernel::PnpManager> pnp_;
  std::optional<kernel::PowerManager> power_;
  std::optional<kernel::DriverLoader> loader_;
  std::optional<kernel::Application> app_;
  std::list<std::unique_ptr<Reader>> readers_;
  std::string last_error_;
  bool down_ = false;
};

} // namespace talvor::host
