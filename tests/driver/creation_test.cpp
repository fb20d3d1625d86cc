// Reader creation through the PnP manager: slots and unit numbers, every
// failure of a creation leaving nothing behind, the registry value.
#include <list>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <winsmcrd.h>

#include "platform/kernel/pool.h"
#include "tests/driver/system_fixture.h"

namespace talvor::test {
namespace {

using ::testing::ElementsAre;

constexpr ULONG kDriverTag = kernel::make_pool_tag("SCS4");
constexpr ULONG kDeviceTag = kernel::make_pool_tag("Devi");

class CreationTest : public BuildTest {
protected:
  // Plugs a reader and returns the names its creation tried.
  // `fault` is set up once the reader is on the bus.
  std::vector<std::string> plug_named(PluggedReader &reader,
                                      NTSTATUS expected = STATUS_SUCCESS,
                                      std::function<void()> fault = {}) {
    attach(reader);
    kernel().trace().clear();
    if (fault)
      fault();
    EXPECT_EQ(pnp_->add_device(reader.pdo, driver_), expected);
    std::vector<std::string> names;
    for (const std::string &line : traced("Reader Device Name ="))
      names.push_back(line.substr(line.find("SCReader")));
    return names;
  }
  ULONG unit(PluggedReader &reader) {
    EXPECT_EQ(open(reader), STATUS_SUCCESS);
    ULONG unit = as_ulong(attribute(reader, SCARD_ATTR_DEVICE_UNIT));
    close(reader);
    return unit;
  }

  PDRIVER_OBJECT driver_ = nullptr;
};
TALVOR_BUILD_TESTS(CreationTest);

// A reader takes the lowest free slot and, apart from it, the lowest unit
// number no other reader holds. A creation that fails gives back its own
// slot and no other; a slot whose device object could not be created stays
// taken; a removal gives back the slot the reader was created in, which
// need not be its unit number.
TEST_P(CreationTest, SlotsAndUnitNumbersComeBackToWhoeverHeldThem) {
  run([&] {
    boot();
    driver_ = load(build());
    PluggedReader a, b, c, d, e;
    EXPECT_THAT(plug_named(a), ElementsAre("SCReader0"));
    EXPECT_EQ(unit(a), 0u);

    // The reader extension.
    EXPECT_THAT(plug_named(b, STATUS_INSUFFICIENT_RESOURCES,
                           [&] { kernel().pool().fail_nth(1, kDriverTag); }),
                ElementsAre("SCReader1"));
    EXPECT_TRUE(kernel().trace().contains("ReaderExtension == NULL "));
    auto log = kernel().io().error_log();
    ASSERT_EQ(log.size(), 1u);
    EXPECT_EQ(static_cast<ULONG>(log[0].error_code), 0xC0100003u);
    EXPECT_EQ(kernel().io().devices_of(driver_).size(), 1u);

    EXPECT_THAT(plug_named(c), ElementsAre("SCReader1"));
    EXPECT_EQ(unit(c), 1u);
    remove(a);

    // Slot 0's device object.
    EXPECT_THAT(plug_named(d, STATUS_SUCCESS,
                           [&] { kernel().pool().fail_nth(1, kDeviceTag); }),
                ElementsAre("SCReader0", "SCReader2"));
    EXPECT_EQ(unit(d), 0u);
    remove(d);
    EXPECT_THAT(plug_named(e), ElementsAre("SCReader2"));
    EXPECT_EQ(unit(e), 0u);
  });
}

// Every allocation the driver's add and start make, and those the library,
// the I/O manager and the USB library make for it, failed in turn: each
// failure leaves no device object, no enabled interface and no thread
// behind, and nothing leaks (the verifier's teardown checks).
TEST_P(CreationTest, EachFailedAllocationOfAnAddLeavesNothingBehind) {
  run([&] {
    boot();
    driver_ = load(build());
    const std::vector<ULONG> tags = {
        kDriverTag,
        kDeviceTag,
        kernel::make_pool_tag("SmcL"),
        kernel::make_pool_tag("IoIf"),
        kernel::make_pool_tag("Strg"),
        kernel::make_pool_tag("USBD"),
    };
    auto allocations = [&](ULONG tag) {
      return kernel().pool().stats(tag).allocations;
    };
    std::vector<std::uint64_t> before;
    for (ULONG tag : tags)
      before.push_back(allocations(tag));
    std::list<PluggedReader> readers(1);
    attach(readers.back(), card::ReadyCard::t1_lrc);
    ASSERT_EQ(pnp_->add_device(readers.back().pdo, driver_), STATUS_SUCCESS);
    remove(readers.back());

    std::size_t failed = 0;
    for (std::size_t t = 0; t < tags.size(); ++t) {
      const std::uint64_t count = allocations(tags[t]) - before[t];
      for (std::uint64_t n = 1; n <= count; ++n) {
        SCOPED_TRACE("tag " + std::to_string(t) + ", allocation " +
                     std::to_string(n));
        PluggedReader &reader = readers.emplace_back();
        attach(reader, card::ReadyCard::t1_lrc);
        kernel().trace().clear();
        kernel().pool().fail_nth(n, tags[t]);
        NTSTATUS status = pnp_->add_device(reader.pdo, driver_);
        kernel().pool().clear_faults();
        if (NT_SUCCESS(status)) {
          ASSERT_EQ(open(reader), STATUS_SUCCESS);
          EXPECT_EQ(attribute(reader, SCARD_ATTR_DEVICE_UNIT).status,
                    STATUS_SUCCESS);
          close(reader);
          remove(reader);
          continue;
        }
        ++failed;
        EXPECT_TRUE(kernel().io().devices_of(driver_).empty());
        EXPECT_TRUE(kernel().io().interfaces(kReaderInterface).empty());
        EXPECT_FALSE(kernel().trace().contains("ThreadMain : Enter"));
        pull(reader);
      }
    }
    EXPECT_GE(failed, 10u);
  });
}

// TransferTimeOut is taken only as a REG_DWORD: a string is refused, not
// written over the 32-bit field, and the time-out stays 0.
TEST_P(CreationTest, TransferTimeOutOtherThanADwordIsIgnored) {
  run([&] {
    kernel().registry().set_string(kParametersKey, "TransferTimeOut", "1000");
    boot();
    driver_ = load(build());
    PluggedReader reader;
    ASSERT_EQ(plug(driver_, reader), STATUS_SUCCESS);
    EXPECT_THAT(traced("Under Win2000 or XP"),
                ElementsAre("Under Win2000 or XP, "
                            "UscrGetRegistryDword(TransferTimeOut = 0)"));
    EXPECT_FALSE(kernel().trace().contains("success Value"));
    EXPECT_TRUE(kernel().verifier().empty());

    kernel().registry().set_dword(kParametersKey, "TransferTimeOut", 0x2710);
    PluggedReader second;
    ASSERT_EQ(plug(driver_, second), STATUS_SUCCESS);
    EXPECT_TRUE(kernel().trace().contains("success Value = 2710"));
  });
}

} // namespace
} // namespace talvor::test
