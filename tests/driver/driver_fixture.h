// The reader driver's routines on a device stack the test builds itself: a
// device object with the driver's extension, attached over the bus driver's
// PDO for the reader model (behind a fault injector), with the smart card
// library initialised. The test calls the routines directly.
#pragma once

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <functional>
#include <list>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include "frame/talvor.h"
#include "platform/kernel/application.h"
#include "platform/usb/fault.h"
#include "sim/card/applications.h"
#include "sim/card/cards.h"
#include "sim/reader/reader.h"
#include "tests/usb/usb_fixture.h"
#include "usb/usbscd.h"

namespace talvor::test {

// The smart card reader device interface class.
inline constexpr GUID kSmartcardReaderGuid = {
    0x50DD5230,
    0xBA8A,
    0x11D1,
    {0xBF, 0x5D, 0x00, 0x00, 0xF8, 0x05, 0xF5, 0x30}};

inline std::string hex_bytes(const std::vector<std::uint8_t> &bytes) {
  std::string text;
  char digits[4];
  for (std::uint8_t byte : bytes) {
    std::snprintf(digits, sizeof digits, text.empty() ? "%02X" : " %02X", byte);
    text += digits;
  }
  return text;
}

// A device model in front of another that answers the transfers `take`
// accepts itself and passes the rest on.
class Intercepting : public usb::UsbDevice {
public:
  using Take = std::function<bool(const usb::TransferPtr &)>;
  Intercepting(std::shared_ptr<usb::UsbDevice> inner, Take take)
      : inner_(std::move(inner)), take_(std::move(take)) {}
  const usb::UsbDescriptors &descriptors() const override {
    return inner_->descriptors();
  }
  usb::Speed speed() const override { return inner_->speed(); }
  void submit(const usb::TransferPtr &transfer) override {
    if (!take_(transfer))
      inner_->submit(transfer);
  }
  void cancelled(const usb::TransferPtr &transfer) override {
    inner_->cancelled(transfer);
  }
  void attached(usb::UsbPort &port) override { inner_->attached(port); }
  void detached() override { inner_->detached(); }

private:
  std::shared_ptr<usb::UsbDevice> inner_;
  Take take_;
};

class DriverTest : public UsbTest {
protected:
  // Inside run(): plugs the reader and builds the stack over its PDO.
  void build(reader::ReaderOptions options = {}) {
    firmware_ = std::make_shared<reader::ReaderFirmware>(kernel(), options);
    injector_ = std::make_shared<usb::FaultInjector>(wrap(firmware_));
    pdo_ = plug(injector_);
    ASSERT_NE(pdo_, nullptr);
    driver_ = kernel().io().create_driver("\\Driver\\TALVOR", "TALVOR");
    driver_->MajorFunction[IRP_MJ_CREATE] = CreateClose;
    driver_->MajorFunction[IRP_MJ_CLOSE] = CreateClose;
    driver_->MajorFunction[IRP_MJ_DEVICE_CONTROL] = DeviceControl;
    driver_->MajorFunction[IRP_MJ_CLEANUP] = UscrCleanup;
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, kDeviceName);
    ASSERT_EQ(IoCreateDevice(driver_, sizeof(DEVICE_EXTENSION), &name,
                             FILE_DEVICE_SMARTCARD, 0, FALSE, &fdo_),
              STATUS_SUCCESS);
    ext_ = static_cast<PDEVICE_EXTENSION>(fdo_->DeviceExtension);
    RtlZeroMemory(ext_, sizeof(*ext_));
    auto *reader = static_cast<READER_EXTENSION *>(ExAllocatePoolWithTag(
        NonPagedPool, sizeof(READER_EXTENSION), USCR_POOL_TAG));
    ASSERT_NE(reader, nullptr);
    RtlZeroMemory(reader, sizeof(*reader));
    UscrInitializeExtension(ext_, reader);
    ASSERT_EQ(SmartcardInitialize(&ext_->SmartcardExtension), STATUS_SUCCESS);
    ext_->SmartcardExtension.OsData->DeviceObject = fdo_;
    ext_->PhysicalDeviceObject = pdo_;
    ext_->AttachedPDO = IoAttachDeviceToDeviceStack(fdo_, pdo_);
    ASSERT_NE(ext_->AttachedPDO, nullptr);
    ASSERT_EQ(IoRegisterDeviceInterface(pdo_, &kSmartcardReaderGuid, nullptr,
                                        &ext_->InterfaceName),
              STATUS_SUCCESS);
    fdo_->Flags |= DO_BUFFERED_IO;
    fdo_->Flags &= ~DO_DEVICE_INITIALIZING;
  }

  // Configures the reader.
  void start() { ASSERT_EQ(KorvoSCD_StartDevice(fdo_), STATUS_SUCCESS); }
  // Configured, card presence thread running.
  void start_with_thread() {
    start();
    ASSERT_EQ(UscrStartCardThread(ext_), STATUS_SUCCESS);
    settle();
  }

  // Stops the thread, unconfigures and tears the stack down.
  void tear_down() {
    if (app_) {
      app_->exit();
      app_.reset();
    }
    UscrStopCardThread(ext_);
    UscrReleaseThreadObject(ext_);
    if (ext_->Interface != nullptr) {
      EXPECT_EQ(KorvoSCD_StopDevice(fdo_), STATUS_SUCCESS);
    }
    ReleaseMemory(fdo_);
    IoSetDeviceInterfaceState(&ext_->InterfaceName, FALSE);
    RtlFreeUnicodeString(&ext_->InterfaceName);
    // The removal's hold, given back while waiting for the rest.
    SmartcardAcquireRemoveLock(&ext_->SmartcardExtension);
    SmartcardReleaseRemoveLockAndWait(&ext_->SmartcardExtension);
    SmartcardExit(&ext_->SmartcardExtension);
    ExFreePool(ext_->SmartcardExtension.ReaderExtension);
    IoDetachDevice(ext_->AttachedPDO);
    IoDeleteDevice(fdo_);
    unplug_and_remove(pdo_);
    kernel().io().delete_driver(driver_);
  }

  // A device-control request from an application, METHOD_BUFFERED, through
  // the smart card library as the resource manager's would go.
  kernel::IoResult ioctl(ULONG code, std::span<const std::uint8_t> input,
                         std::size_t output_capacity) {
    if (!app_) {
      app_.emplace(kernel());
      kernel::OpenResult opened = app_->open("\\Device\\TalvorReader");
      EXPECT_EQ(opened.status, STATUS_SUCCESS);
      handle_ = opened.handle;
    }
    return app_->device_io_control(handle_, code, input, output_capacity);
  }
  kernel::IoResult ioctl(ULONG code, ULONG value, std::size_t output_capacity) {
    std::uint8_t input[sizeof value];
    std::memcpy(input, &value, sizeof value);
    return ioctl(code, input, output_capacity);
  }

  void insert(card::ReadyCard which = card::ReadyCard::t1_lrc) {
    firmware_->insert(std::make_unique<card::Card>(
        card::make_card(which, std::make_unique<card::EchoApplication>())));
  }
  static void delay_ms(LONGLONG ms) {
    LARGE_INTEGER delay;
    delay.QuadPart = -ms * 10'000;
    KeDelayExecutionThread(KernelMode, FALSE, &delay);
  }
  // Lets the card presence thread take what the reader reported.
  static void settle() { delay_ms(200); }

  // Runs `action` in a kernel thread of its own after `ms`.
  void later(LONGLONG ms, std::function<void()> action) {
    laters_.push_back({ms, std::move(action)});
    HANDLE handle = nullptr;
    ASSERT_EQ(PsCreateSystemThread(&handle, 0, nullptr, nullptr, nullptr, Later,
                                   &laters_.back()),
              STATUS_SUCCESS);
    ZwClose(handle);
  }

  // The enabled smart card reader interfaces.
  std::size_t interfaces_enabled() {
    return kernel().io().interfaces(kSmartcardReaderGuid).size();
  }
  // Every URB submission since the trace was last cleared, as its trace
  // line names its time-out and card binding.
  std::vector<std::string> submissions() {
    std::vector<std::string> picked;
    for (auto &line : kernel().trace().lines())
      if (line.rfind("enter KorvoSCD_CallUSBD,", 0) == 0)
        picked.push_back(line.substr(24));
    return picked;
  }

  ULONG state() const {
    return ext_->SmartcardExtension.ReaderCapabilities.CurrentState;
  }
  PSMARTCARD_EXTENSION smartcard() { return &ext_->SmartcardExtension; }
  READER_EXTENSION *reader() {
    return ext_->SmartcardExtension.ReaderExtension;
  }

  std::vector<usb::TransferRecord> transfers(
      const std::function<bool(const usb::TransferRecord &)> &pick) const {
    std::vector<usb::TransferRecord> picked;
    for (const auto &record : injector_->log())
      if (pick(record))
        picked.push_back(record);
    return picked;
  }
  // Vendor commands sent with this bRequest.
  std::vector<usb::TransferRecord> commands(std::uint8_t request) const {
    return transfers([request](const usb::TransferRecord &record) {
      return record.setup && record.setup->type() == 2 &&
             record.setup->request == request;
    });
  }
  std::vector<usb::TransferRecord> bulk(bool in) const {
    return transfers([in](const usb::TransferRecord &record) {
      return record.type == usb::TransferType::Bulk && record.in == in;
    });
  }

  std::uint64_t driver_allocations() const {
    for (const auto &stats :
         const_cast<DriverTest *>(this)->kernel().pool().all_stats())
      if (stats.tag == USCR_POOL_TAG)
        return stats.allocations;
    return 0;
  }

  // What crossed the wire from here on.
  void mark() { mark_ = injector_->log().size(); }
  // One line a transfer since the mark: a vendor command by its bRequest
  // and the bytes it sent, bulk out by its bytes, bulk in by its length.
  std::vector<std::string> wire() const {
    std::vector<std::string> lines;
    auto log = injector_->log();
    for (std::size_t i = mark_; i < log.size(); ++i) {
      const usb::TransferRecord &record = log[i];
      char text[16];
      if (record.setup && record.setup->type() == 2) {
        std::snprintf(text, sizeof text, "%02X", record.setup->request);
        lines.push_back(record.in || record.data.empty()
                            ? text
                            : text + (" " + hex_bytes(record.data)));
      } else if (record.type == usb::TransferType::Bulk) {
        if (record.in)
          lines.push_back("in " + std::to_string(record.length));
        else
          lines.push_back("out " + hex_bytes(record.data));
      }
    }
    return lines;
  }
  std::size_t count(const std::string &line) const {
    auto lines = wire();
    return static_cast<std::size_t>(
        std::count(lines.begin(), lines.end(), line));
  }
  // Whether the driver printed `text` (its line end included).
  bool traced(std::string text) {
    text.pop_back();
    for (auto &line : kernel().trace().lines())
      if (line == text)
        return true;
    return false;
  }
  std::size_t mark_ = 0;

  // A device model put between the reader and the fault injector; by
  // default the transfers `intercept_` takes.
  virtual std::shared_ptr<usb::UsbDevice>
  wrap(std::shared_ptr<usb::UsbDevice> reader) {
    if (!intercept_)
      return reader;
    return std::make_shared<Intercepting>(std::move(reader), intercept_);
  }
  Intercepting::Take intercept_;

  std::shared_ptr<reader::ReaderFirmware> firmware_;
  std::shared_ptr<usb::FaultInjector> injector_;
  PDEVICE_OBJECT pdo_ = nullptr;
  PDRIVER_OBJECT driver_ = nullptr;
  PDEVICE_OBJECT fdo_ = nullptr;
  PDEVICE_EXTENSION ext_ = nullptr;

private:
  struct Pending {
    LONGLONG ms;
    std::function<void()> action;
  };
  static void Later(PVOID context) {
    auto *pending = static_cast<Pending *>(context);
    delay_ms(pending->ms);
    pending->action();
    PsTerminateSystemThread(STATUS_SUCCESS);
  }
  // Until the library's dispatch lands in the driver: straight to it.
  static NTSTATUS DeviceControl(PDEVICE_OBJECT device, PIRP irp) {
    auto *extension = static_cast<PDEVICE_EXTENSION>(device->DeviceExtension);
    return SmartcardDeviceControl(&extension->SmartcardExtension, irp);
  }
  static constexpr PCWSTR kDeviceName = u"\\Device\\TalvorReader";
  static NTSTATUS CreateClose(PDEVICE_OBJECT, PIRP irp) {
    irp->IoStatus.Status = STATUS_SUCCESS;
    irp->IoStatus.Information = 0;
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
  }
  std::list<Pending> laters_;
  std::optional<kernel::Application> app_;
  kernel::Handle handle_ = kernel::Handle::invalid;
};

} // namespace talvor::test
