// The world of the PnP and power tests: a test bus, the PnP and power
// managers, and the PnP test driver as the function driver of the bus's
// children. Made inside a run and gone before the kernel.
#pragma once

#include "tests/kernel/driver/pnp_driver.h"
#include "platform/kernel/kernel.h"
#include "platform/kernel/pnp.h"
#include "platform/kernel/power.h"
#include "tests/kernel/testbus/test_bus.h"

namespace talvor::test {

struct TestStack {
  explicit TestStack(kernel::Kernel &kernel_, PNP_TEST_OPTIONS options = {})
      : kernel(kernel_), bus(kernel_), pnp(kernel_), power(pnp) {
    driver = kernel.io().create_driver(
        "\\Driver\\PnpTest",
        "\\Registry\\Machine\\System\\CurrentControlSet\\Services\\PnpTest");
    PnpTestInitialize(driver, &options);
    pnp.register_function_driver(TestChild{}.hardware_id, driver);
  }

  ~TestStack() {
    pnp.unregister_function_driver(driver);
    if (kernel.io().devices_of(driver).empty())
      kernel.io().delete_driver(driver);
  }

  TestStack(const TestStack &) = delete;
  TestStack &operator=(const TestStack &) = delete;

  // The device is pulled out: surprise removal, then removal.
  NTSTATUS unplug(PDEVICE_OBJECT pdo) {
    NTSTATUS status = pnp.surprise_remove(pdo);
    return NT_SUCCESS(status) ? pnp.remove(pdo) : status;
  }

  // The test driver's extension of the device's FDO (until its removal).
  PPNP_TEST_EXTENSION extension(PDEVICE_OBJECT pdo) const {
    PDEVICE_OBJECT fdo = pnp.function_device(pdo);
    return fdo != nullptr
               ? static_cast<PPNP_TEST_EXTENSION>(fdo->DeviceExtension)
               : nullptr;
  }

  kernel::Kernel &kernel;
  TestBus bus;
  kernel::PnpManager pnp;
  kernel::PowerManager power;
  PDRIVER_OBJECT driver = nullptr;
};

} // namespace talvor::test
