// The driver as the system runs it: a driver image loaded by the kernel as
// its own service, readers plugged on the USB bus and brought up by the PnP
// manager, and applications that open a reader through its smart card
// reader interface and send it requests. Tests use only what a caller has:
// the managers, the application side, the bus and the device models.
#pragma once

#include <cstdio>
#include <cstring>
#include <functional>
#include <list>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "platform/kernel/application.h"
#include "platform/kernel/iomgr.h"
#include "platform/kernel/loader.h"
#include "platform/kernel/pnp.h"
#include "platform/kernel/power.h"
#include "platform/usb/fault.h"
#include "sim/card/applications.h"
#include "sim/card/cards.h"
#include "sim/reader/reader.h"
#include "tests/usb/usb_fixture.h"
#include "tools/host/system.h"

namespace talvor::test {

using host::kReaderInterface;

// Where both builds read TransferTimeOut.
inline constexpr const char *kParametersKey =
    "\\Registry\\Machine\\System\\CurrentControlSet\\Services\\TALVOR10"
    "\\Parameters";

// One reader on the bus: its firmware model behind a fault injector, its
// physical device object, and the application handle open on it.
struct PluggedReader {
  std::shared_ptr<reader::ReaderFirmware> firmware;
  std::shared_ptr<usb::FaultInjector> injector;
  PDEVICE_OBJECT pdo = nullptr;
  kernel::Handle handle = kernel::Handle::invalid;
  std::uint64_t watch = 0;
};

class SystemTest : public UsbTest {
protected:
  void TearDown() override {
    if (pnp_)
      kernel().run([&] { shut_down(); });
    UsbTest::TearDown();
  }

  // Inside run(): the managers, and one application.
  void boot() {
    pnp_.emplace(kernel());
    power_.emplace(*pnp_);
    loader_.emplace(kernel(), &*pnp_);
    app_.emplace(kernel());
  }

  // Loads build "11" or "10" as service TALVOR11 or TALVOR10.
  PDRIVER_OBJECT load(const std::string &build) {
    PDRIVER_OBJECT driver = nullptr;
    EXPECT_EQ(loader_->load_driver(image(build), "TALVOR" + build, &driver),
              STATUS_SUCCESS)
        << loader_->last_error();
    return driver;
  }
  static std::string image(const std::string &build) {
    return std::string(TALVOR_IMAGE_DIR) + "/talvor" + build + ".so";
  }

  // Plugs a reader (with `card` in it, if any) and lets the PnP manager add
  // and start it with `driver`; returns AddDevice's or the start's status.
  NTSTATUS plug(PDRIVER_OBJECT driver, PluggedReader &reader,
                std::optional<card::ReadyCard> card = {},
                reader::ReaderOptions options = {}) {
    attach(reader, card, options);
    return pnp_->add_device(reader.pdo, driver);
  }
  // Only the bus's part: the reader on a new port, its PDO made.
  void attach(PluggedReader &reader, std::optional<card::ReadyCard> card = {},
              reader::ReaderOptions options = {}) {
    reader.firmware =
        std::make_shared<reader::ReaderFirmware>(kernel(), options);
    if (card)
      insert(reader, *card);
    reader.injector = std::make_shared<usb::FaultInjector>(reader.firmware);
    reader.pdo = bus().plug(reader.injector);
    EXPECT_NE(reader.pdo, nullptr);
  }
  void insert(PluggedReader &reader,
              card::ReadyCard which = card::ReadyCard::t1_lrc) {
    reader.firmware->insert(std::make_unique<card::Card>(
        card::make_card(which, std::make_unique<card::EchoApplication>())));
  }

  PDEVICE_OBJECT fdo(const PluggedReader &reader) const {
    return pnp_->function_device(reader.pdo);
  }
  // The reader's interface, when enabled.
  std::string link(const PluggedReader &reader) {
    for (const auto &known : kernel().io().interfaces(kReaderInterface))
      if (known.physical_device == reader.pdo)
        return known.symbolic_link;
    return {};
  }

  // Opens the reader through its interface, as the resource manager does,
  // and closes the handle when the PnP manager announces a removal.
  NTSTATUS open(PluggedReader &reader) {
    kernel::OpenResult opened = app_->open(link(reader));
    if (NT_SUCCESS(opened.status)) {
      reader.handle = opened.handle;
      reader.watch = pnp_->watch(reader.pdo, [this, &reader](auto change) {
        if (change != kernel::TargetDeviceChange::RemoveCancelled)
          close(reader);
      });
      watches_.push_back(reader.watch);
    }
    return opened.status;
  }
  void close(PluggedReader &reader) {
    if (reader.handle == kernel::Handle::invalid)
      return;
    EXPECT_EQ(app_->close(reader.handle), STATUS_SUCCESS);
    reader.handle = kernel::Handle::invalid;
  }

  kernel::IoResult ioctl(PluggedReader &reader, ULONG code,
                         std::span<const std::uint8_t> input = {},
                         std::size_t output_capacity = 0) {
    return app_->device_io_control(reader.handle, code, input, output_capacity);
  }
  kernel::Request begin(PluggedReader &reader, ULONG code,
                        std::span<const std::uint8_t> input = {},
                        std::size_t output_capacity = 0) {
    return app_->begin_device_io_control(reader.handle, code, input,
                                         output_capacity);
  }
  // A ULONG attribute, or the failure.
  kernel::IoResult attribute(PluggedReader &reader, ULONG tag,
                             std::size_t capacity = sizeof(ULONG)) {
    return ioctl(reader, IOCTL_SMARTCARD_GET_ATTRIBUTE, as_bytes(tag),
                 capacity);
  }
  static std::vector<std::uint8_t> as_bytes(ULONG value) {
    std::vector<std::uint8_t> bytes(sizeof value);
    std::memcpy(bytes.data(), &value, sizeof value);
    return bytes;
  }
  static ULONG as_ulong(const kernel::IoResult &result) {
    ULONG value = 0xDEADBEEF;
    if (result.output.size() == sizeof value)
      std::memcpy(&value, result.output.data(), sizeof value);
    return value;
  }

  // Orderly removal: the query (the application closes first), then the
  // removal; the reader is then pulled from the bus.
  void remove(PluggedReader &reader) {
    EXPECT_EQ(pnp_->query_remove(reader.pdo), STATUS_SUCCESS);
    EXPECT_EQ(pnp_->remove(reader.pdo), STATUS_SUCCESS);
    pull(reader);
  }
  // The reader pulled from the bus and surprise-removed; the removal
  // follows once its handle is closed.
  void unplug(PluggedReader &reader) {
    bus().unplug(reader.pdo);
    EXPECT_EQ(pnp_->surprise_remove(reader.pdo), STATUS_SUCCESS);
    EXPECT_EQ(pnp_->remove(reader.pdo), STATUS_SUCCESS);
    forget(reader);
  }
  // After an orderly removal: the cable out, and the bus's own removal.
  void pull(PluggedReader &reader) {
    if (reader.pdo == nullptr || !bus().owns(reader.pdo))
      return;
    bus().unplug(reader.pdo);
    EXPECT_EQ(TestUsbPnp(reader.pdo, IRP_MN_REMOVE_DEVICE, 0, nullptr),
              STATUS_SUCCESS);
    forget(reader);
  }
  void forget(PluggedReader &reader) { reader.pdo = nullptr; }

  // Every reader still on the bus taken away, the application gone, the
  // drivers unloaded and the managers gone. Inside run().
  void shut_down() {
    if (!pnp_)
      return;
    // The application's exit closes what is still open.
    for (std::uint64_t watch : watches_)
      pnp_->unwatch(watch);
    if (app_)
      app_->exit();
    for (PDEVICE_OBJECT pdo : bus().present()) {
      bus().unplug(pdo);
      auto state = pnp_->state(pdo);
      if (state && *state != kernel::DeviceNodeState::Removed) {
        EXPECT_EQ(pnp_->surprise_remove(pdo), STATUS_SUCCESS);
        EXPECT_EQ(pnp_->remove(pdo), STATUS_SUCCESS);
      } else {
        EXPECT_EQ(TestUsbPnp(pdo, IRP_MN_REMOVE_DEVICE, 0, nullptr),
                  STATUS_SUCCESS);
      }
    }
    for (const char *service : {"TALVOR11", "TALVOR10"}) {
      if (loader_->driver(service) != nullptr) {
        EXPECT_EQ(loader_->unload_driver(service), STATUS_SUCCESS);
      }
    }
    app_.reset();
    loader_.reset();
    power_.reset();
    pnp_.reset();
  }

  // Runs `action` in a kernel thread of its own, as another thread of the
  // application would (a request that blocks in the driver blocks it).
  void spawn(std::function<void()> action) {
    actions_.push_back(std::move(action));
    HANDLE handle = nullptr;
    ASSERT_EQ(PsCreateSystemThread(&handle, 0, nullptr, nullptr, nullptr,
                                   Spawned, &actions_.back()),
              STATUS_SUCCESS);
    ZwClose(handle);
  }
  static void delay_ms(LONGLONG ms) {
    LARGE_INTEGER delay;
    delay.QuadPart = -ms * 10'000;
    KeDelayExecutionThread(KernelMode, FALSE, &delay);
  }

  // Trace lines since the last clear that start with `prefix`.
  std::vector<std::string> traced(const std::string &prefix) {
    std::vector<std::string> picked;
    for (auto &line : kernel().trace().lines())
      if (line.rfind(prefix, 0) == 0)
        picked.push_back(line);
    return picked;
  }

  // Transfers the reader's log holds so far; with commands(), what a step
  // sent the reader.
  static std::size_t transfers(const PluggedReader &reader) {
    return reader.injector->log().size();
  }
  // The reader commands (vendor requests, by bRequest as "A3") among the
  // transfers after the first `since`.
  static std::vector<std::string> commands(const PluggedReader &reader,
                                           std::size_t since = 0) {
    std::vector<std::string> sent;
    auto log = reader.injector->log();
    for (std::size_t i = since; i < log.size(); ++i) {
      if (!log[i].setup || log[i].setup->type() != 2)
        continue;
      char text[3];
      std::snprintf(text, sizeof text, "%02X", log[i].setup->request);
      sent.emplace_back(text);
    }
    return sent;
  }

  std::optional<kernel::PnpManager> pnp_;
  std::optional<kernel::PowerManager> power_;
  std::optional<kernel::DriverLoader> loader_;
  std::optional<kernel::Application> app_;

private:
  static void Spawned(PVOID context) {
    (*static_cast<std::function<void()> *>(context))();
    PsTerminateSystemThread(STATUS_SUCCESS);
  }
  std::list<std::function<void()>> actions_;
  std::vector<std::uint64_t> watches_;
};

// A test run once per build: "11" and "10".
class BuildTest : public SystemTest,
                  public ::testing::WithParamInterface<std::string> {
protected:
  const std::string &build() const { return GetParam(); }
};
#define TALVOR_BUILD_TESTS(Suite)                                              \
  INSTANTIATE_TEST_SUITE_P(                                                    \
      Talvor, Suite, ::testing::Values("11", "10"),                            \
      [](const auto &info) { return "talvor" + info.param; })

} // namespace talvor::test
