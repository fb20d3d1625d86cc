// Both driver images in one process, each serving its full 128 readers:
// the generated device names keep them apart, each image has its own slots
// and unit numbers, and the readers are used and removed side by side.
#include <array>
#include <set>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include <winsmcrd.h>

#include "tests/driver/system_fixture.h"

namespace talvor::test {
namespace {

constexpr std::size_t kReaders = 128;

class ManyReadersTest : public SystemTest {
protected:
  struct Image {
    std::string build;
    PDRIVER_OBJECT driver = nullptr;
    std::vector<PluggedReader> readers{kReaders + 1};
  };

  // Adds `count` readers to each image, alternating between them.
  void add_readers(std::array<Image, 2> &images, std::size_t count) {
    for (std::size_t i = 0; i < count; ++i)
      for (Image &image : images)
        ASSERT_EQ(plug(image.driver, image.readers[i]), STATUS_SUCCESS)
            << "talvor" << image.build << " reader " << i;
  }
};

// 128 readers on each image: the 129th is refused, every reader has its
// own device object and the unit number of its place, four application
// threads use them all at once, and every one goes away (half of them
// pulled out, half removed in order) leaving both images unloadable;
// under several interleavings.
TEST_F(ManyReadersTest, EachImageServesItsFullComplement) {
  for (std::uint64_t seed : sweep(3)) {
    SCOPED_TRACE("seed " + std::to_string(seed));
    restart(seed);
    run([&] {
      boot();
      std::array<Image, 2> images{Image{"11"}, Image{"10"}};
      for (Image &image : images)
        image.driver = load(image.build);
      add_readers(images, kReaders);
      for (Image &image : images) {
        EXPECT_EQ(plug(image.driver, image.readers[kReaders]),
                  STATUS_INSUFFICIENT_RESOURCES);
        EXPECT_EQ(kernel().io().devices_of(image.driver).size(), kReaders);
        pull(image.readers[kReaders]);
      }
      std::set<std::string> names;
      for (Image &image : images)
        for (PDEVICE_OBJECT device : kernel().io().devices_of(image.driver))
          names.insert(kernel().io().name_of(device));
      EXPECT_EQ(names.size(), 2 * kReaders);
      EXPECT_EQ(kernel().io().interfaces(kReaderInterface).size(),
                2 * kReaders);

      for (Image &image : images)
        for (std::size_t i = 0; i < kReaders; ++i)
          ASSERT_EQ(open(image.readers[i]), STATUS_SUCCESS);
      std::array<std::size_t, 4> wrong{};
      int finished = 0;
      for (std::size_t worker = 0; worker < wrong.size(); ++worker) {
        spawn([&, worker] {
          for (Image &image : images) {
            for (std::size_t i = worker; i < kReaders; i += wrong.size()) {
              kernel::IoResult unit =
                  attribute(image.readers[i], SCARD_ATTR_DEVICE_UNIT);
              if (unit.status != STATUS_SUCCESS || as_ulong(unit) != i)
                ++wrong[worker];
              if (ioctl(image.readers[i], IOCTL_SMARTCARD_IS_ABSENT).status !=
                  STATUS_SUCCESS)
                ++wrong[worker];
            }
          }
          ++finished;
        });
      }
      while (finished < static_cast<int>(wrong.size()))
        delay_ms(10);
      EXPECT_EQ(wrong, (std::array<std::size_t, 4>{}));

      for (Image &image : images) {
        for (std::size_t i = 0; i < kReaders; ++i) {
          if (i % 2 == 0)
            unplug(image.readers[i]);
          else
            remove(image.readers[i]);
        }
        EXPECT_TRUE(kernel().io().devices_of(image.driver).empty());
      }
      EXPECT_TRUE(kernel().io().interfaces(kReaderInterface).empty());

      // The slots are free again: the next reader of each image is the first.
      for (Image &image : images) {
        PluggedReader again;
        kernel().trace().clear();
        EXPECT_EQ(plug(image.driver, again), STATUS_SUCCESS);
        EXPECT_TRUE(kernel().trace().contains("=\\DosDevices\\SCReader0"));
        remove(again);
      }
      shut_down();
    });
  }
}

} // namespace
} // namespace talvor::test
