// Driver loading: images found or refused, two builds of one driver side by
// side in one process, a failing DriverEntry, and unloading refused while
// the driver's devices exist.
#include <cstdio>
#include <dlfcn.h>
#include <fstream>
#include <string>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "platform/kernel/loader.h"
#include "platform/kernel/pnp.h"
#include "tests/kernel/testbus/test_bus.h"
#include "tests/support/sim.h"

namespace talvor::test {
namespace {

using kernel::DriverLoader;
using ::testing::HasSubstr;

const char kServices[] = "\\Registry\\Machine\\System\\CurrentControlSet\\"
                         "Services\\";

#ifdef TALVOR_TEST_IMAGE_DIR
std::string image(const char *build) {
  return std::string(TALVOR_TEST_IMAGE_DIR) + "/loader_image_" + build + ".so";
}
#define REQUIRE_IMAGES()
#else
std::string image(const char *) {
  return {};
}
#define REQUIRE_IMAGES()                                                       \
  GTEST_SKIP() << "the loadable test images are not built "                    \
                  "(tests/kernel/images is not part of the build)"
#endif

class LoaderTest : public SimTest {};

TEST_F(LoaderTest, ImagesThatCannotBeDriversAreRefused) {
  std::string junk = ::testing::TempDir() + "talvor_not_an_image.so";
  std::ofstream(junk) << "not an ELF file\n";
  Dl_info kernel_library{};
  ASSERT_NE(
      dladdr(reinterpret_cast<void *>(&KeGetCurrentIrql), &kernel_library), 0);
  run([&] {
    DriverLoader loader(kernel());
    PDRIVER_OBJECT driver = reinterpret_cast<PDRIVER_OBJECT>(1);
    EXPECT_EQ(loader.load_driver("/nonexistent/talvor.so", "Missing", &driver),
              STATUS_DLL_NOT_FOUND);
    EXPECT_EQ(driver, nullptr);
    EXPECT_EQ(loader.load_driver(junk, "Junk"), STATUS_DRIVER_UNABLE_TO_LOAD);
    EXPECT_THAT(loader.last_error(), HasSubstr("talvor_not_an_image.so"));
    // A library that is not a driver: the kernel's own.
    EXPECT_EQ(loader.load_driver(kernel_library.dli_fname, "Kernel"),
              STATUS_ENTRYPOINT_NOT_FOUND);
    for (const char *name : {"", "a\\b", "a/b", "tab\there"})
      EXPECT_EQ(loader.load_driver(junk, name), STATUS_OBJECT_NAME_INVALID);
    EXPECT_EQ(loader.unload_driver("Missing"), STATUS_OBJECT_NAME_NOT_FOUND);
    EXPECT_EQ(loader.driver("Junk"), nullptr);
  });
  std::remove(junk.c_str());
}

TEST_F(LoaderTest, TwoBuildsLoadSideBySide) {
  REQUIRE_IMAGES();
  run([&] {
    DriverLoader loader(kernel());
    PDRIVER_OBJECT a = nullptr;
    PDRIVER_OBJECT b = nullptr;
    ASSERT_EQ(loader.load_driver(image("a"), "TestImageA", &a), STATUS_SUCCESS);
    ASSERT_EQ(loader.load_driver(image("b"), "TestImageB", &b), STATUS_SUCCESS);
    ASSERT_NE(a, b);
    EXPECT_EQ(loader.driver("testimagea"), a);
    EXPECT_NE(a->DriverExtension->AddDevice, b->DriverExtension->AddDevice);
    EXPECT_NE(a->DriverStart, b->DriverStart);
    // Each image has its globals: each counts its first load.
    auto &trace = kernel().trace();
    EXPECT_TRUE(trace.contains("loader image a: DriverEntry " +
                               std::string(kServices) + "TestImageA (load 1)"));
    EXPECT_TRUE(trace.contains("loader image b: DriverEntry " +
                               std::string(kServices) + "TestImageB (load 1)"));

    // One service, one image.
    EXPECT_EQ(loader.load_driver(image("b"), "TestImageA"),
              STATUS_OBJECT_NAME_COLLISION);
    EXPECT_EQ(loader.load_driver(image("a"), "Another"),
              STATUS_IMAGE_ALREADY_LOADED);

    EXPECT_EQ(loader.unload_driver("TestImageA"), STATUS_SUCCESS);
    EXPECT_EQ(loader.unload_driver("TestImageB"), STATUS_SUCCESS);
    EXPECT_EQ(trace.count("DriverUnload"), 2u);
    EXPECT_EQ(loader.driver("TestImageA"), nullptr);
    // Unloaded means unmapped: a new load starts from fresh globals.
    ASSERT_EQ(loader.load_driver(image("a"), "TestImageA"), STATUS_SUCCESS);
    EXPECT_EQ(trace.count("(load 1)"), 3u);
    EXPECT_EQ(loader.unload_driver("TestImageA"), STATUS_SUCCESS);
  });
}

TEST_F(LoaderTest, FailingDriverEntryUnloadsTheImage) {
  REQUIRE_IMAGES();
  std::string key = std::string(kServices) + "TestImageA";
  kernel().registry().set_dword(key, "FailEntry", 0xC0000182);
  run([&] {
    DriverLoader loader(kernel());
    EXPECT_EQ(loader.load_driver(image("a"), "TestImageA"),
              STATUS_DEVICE_CONFIGURATION_ERROR);
    EXPECT_EQ(loader.driver("TestImageA"), nullptr);
    kernel().registry().delete_value(key, "FailEntry");
    // Nothing of the failed load is left: the name, the image, its globals.
    ASSERT_EQ(loader.load_driver(image("a"), "TestImageA"), STATUS_SUCCESS);
    EXPECT_EQ(kernel().trace().count("(load 1)"), 2u);
    EXPECT_EQ(loader.unload_driver("TestImageA"), STATUS_SUCCESS);
  });
}

TEST_F(LoaderTest, LoadedDriverServesDevicesAndUnloadsOnlyWithoutThem) {
  REQUIRE_IMAGES();
  run([&] {
    TestBus bus(kernel());
    kernel::PnpManager pnp(kernel());
    DriverLoader loader(kernel(), &pnp);
    PDRIVER_OBJECT driver = nullptr;
    ASSERT_EQ(loader.load_driver(image("b"), "TestImageB", &driver),
              STATUS_SUCCESS);
    pnp.register_function_driver(TestChild{}.hardware_id, driver);
    PDEVICE_OBJECT pdo = bus.add_child();
    ASSERT_EQ(pnp.add_device(pdo), STATUS_SUCCESS);
    EXPECT_EQ(pnp.function_device(pdo)->DriverObject, driver);

    EXPECT_EQ(loader.unload_driver("TestImageB"), STATUS_DEVICE_BUSY);
    ASSERT_EQ(pnp.query_remove(pdo), STATUS_SUCCESS);
    ASSERT_EQ(pnp.remove(pdo), STATUS_SUCCESS);
    EXPECT_EQ(loader.unload_driver("TestImageB"), STATUS_SUCCESS);
    // Gone as a function driver too.
    PDEVICE_OBJECT next = bus.add_child();
    EXPECT_EQ(pnp.add_device(next), STATUS_NOT_FOUND);
  });
}

} // namespace
} // namespace talvor::test
