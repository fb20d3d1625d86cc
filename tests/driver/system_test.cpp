// The driver images through the managers: loading, readers added, started,
// opened and used from an application, stopped and restarted, removed.
#include <cstring>
#include <string>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <winsmcrd.h>

#include "tests/driver/system_fixture.h"
#include "vendor/ioctl.h"

namespace talvor::test {
namespace {

using kernel::DeviceNodeState;
using ::testing::ElementsAre;

class ReaderTest : public BuildTest {
protected:
  std::string ifd_type() const {
    return "Veltraxon reader " + std::string(build() == "11" ? "1.1" : "1.0");
  }
};
TALVOR_BUILD_TESTS(ReaderTest);

// A reader from plug to removal: added and started by the PnP manager, one
// handle at a time, its identity as the library reports it, and nothing
// left of it after the removal.
TEST_P(ReaderTest, AddedOpenedUsedAndRemoved) {
  run([&] {
    kernel().registry().set_dword(kParametersKey, "TransferTimeOut", 1234);
    boot();
    PDRIVER_OBJECT driver = load(build());
    ASSERT_NE(driver, nullptr);
    EXPECT_TRUE(kernel().trace().contains("Under Win XP"));

    PluggedReader reader;
    ASSERT_EQ(plug(driver, reader, card::ReadyCard::t1_lrc), STATUS_SUCCESS);
    EXPECT_EQ(pnp_->state(reader.pdo), DeviceNodeState::Started);
    EXPECT_TRUE(kernel().trace().contains(
        "Under Win2000 or XP, UscrGetRegistryDword(TransferTimeOut = 4D2)"));
    EXPECT_TRUE(kernel().trace().contains("Reader Device Name "
                                          "=\\DosDevices\\SCReader0"));
    ASSERT_FALSE(link(reader).empty());

    ASSERT_EQ(open(reader), STATUS_SUCCESS);
    // One handle at a time; the first is not disturbed.
    EXPECT_EQ(app_->open(link(reader)).status, STATUS_UNSUCCESSFUL);
    kernel::IoResult unit = attribute(reader, SCARD_ATTR_DEVICE_UNIT);
    EXPECT_EQ(unit.status, STATUS_SUCCESS);
    EXPECT_EQ(as_ulong(unit), 0u);
    kernel::IoResult type = attribute(reader, SCARD_ATTR_VENDOR_IFD_TYPE, 64);
    ASSERT_EQ(type.status, STATUS_SUCCESS);
    EXPECT_EQ(std::string(type.output.begin(), type.output.end()),
              ifd_type() + std::string(1, '\0'));
    // The card the reader reported at start, powered and spoken to in T=1.
    EXPECT_EQ(ioctl(reader, IOCTL_SMARTCARD_IS_PRESENT).status, STATUS_SUCCESS);
    kernel::IoResult atr =
        ioctl(reader, IOCTL_SMARTCARD_POWER, as_bytes(SCARD_COLD_RESET), 64);
    EXPECT_EQ(atr.status, STATUS_SUCCESS);
    EXPECT_GT(atr.output.size(), 2u);
    kernel::IoResult protocol = ioctl(reader, IOCTL_SMARTCARD_SET_PROTOCOL,
                                      as_bytes(SCARD_PROTOCOL_T1), 4);
    EXPECT_EQ(protocol.status, STATUS_SUCCESS);
    EXPECT_EQ(as_ulong(protocol), ULONG{SCARD_PROTOCOL_T1});
    // A case 4 APDU: three bytes in, four back, repeated.
    std::vector<std::uint8_t> apdu(sizeof(SCARD_IO_REQUEST));
    const SCARD_IO_REQUEST header = {SCARD_PROTOCOL_T1,
                                     sizeof(SCARD_IO_REQUEST)};
    std::memcpy(apdu.data(), &header, sizeof header);
    apdu.insert(apdu.end(), {0x00, card::echo::kCase4, 0x00, 0x00, 0x03, 0xA1,
                             0xB2, 0xC3, 0x04});
    kernel::IoResult answer = ioctl(reader, IOCTL_SMARTCARD_TRANSMIT, apdu,
                                    sizeof(SCARD_IO_REQUEST) + 258);
    EXPECT_EQ(answer.status, STATUS_SUCCESS);
    const std::vector<std::uint8_t> expected = {0xA1, 0xB2, 0xC3,
                                                0xA1, 0x90, 0x00};
    ASSERT_EQ(answer.output.size(), sizeof(SCARD_IO_REQUEST) + 6);
    EXPECT_EQ(std::vector<std::uint8_t>(answer.output.begin() +
                                            sizeof(SCARD_IO_REQUEST),
                                        answer.output.end()),
              expected);
    // The reader's vendor value, written and read back.
    const std::vector<std::uint8_t> value = {0x12, 0x34};
    EXPECT_EQ(ioctl(reader, IOCTL_VENDOR_WRITE, value).status, STATUS_SUCCESS);
    kernel::IoResult read = ioctl(reader, IOCTL_VENDOR_READ, {}, 2);
    EXPECT_EQ(read.status, STATUS_SUCCESS);
    EXPECT_EQ(read.output, value);

    close(reader);
    ASSERT_EQ(open(reader), STATUS_SUCCESS);
    close(reader);

    // System control goes to the bus driver, which leaves it as it came.
    kernel().trace().clear();
    kernel::IrpReply wmi = kernel::call_and_wait(
        kernel(), fdo(reader),
        [](IO_STACK_LOCATION &stack) {
          stack.MajorFunction = IRP_MJ_SYSTEM_CONTROL;
        },
        ms(100), nullptr);
    EXPECT_TRUE(wmi.completed);
    EXPECT_EQ(wmi.status, STATUS_NOT_SUPPORTED);
    EXPECT_THAT(traced("uscrDispatchSystemControl"),
                ElementsAre("uscrDispatchSystemControl "));

    remove(reader);
    EXPECT_TRUE(kernel().io().devices_of(driver).empty());
    EXPECT_TRUE(kernel().io().interfaces(kReaderInterface).empty());
    EXPECT_TRUE(kernel().trace().contains("Uscr!UscrUnloadDevice: Exit"));
    shut_down();
    EXPECT_TRUE(kernel().trace().contains("Uscr!Unload\tDriver exit"));
  });
}

} // namespace
} // namespace talvor::test
