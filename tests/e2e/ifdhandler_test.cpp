// The IFD handler called as pcscd calls it, in this process: what it
// refuses, the buffers it checks, the capabilities and vendor codes it
// passes to the driver, and the polling thread's card events.
#include <chrono>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <future>
#include <string>
#include <thread>
#include <unistd.h>
#include <vector>

#include <gmock/gmock.h>
#include <gtest/gtest.h>

extern "C" {
#include <ifdhandler.h>
#include <reader.h>
}

namespace {

using Bytes = std::vector<UCHAR>;
using ::testing::HasSubstr;

constexpr DWORD kLun = 0x10000;
const Bytes kAtrT1Lrc = {0x3B, 0x99, 0x96, 0x81, 0x31, 0x80, 0x45, 0x74, 0x61,
                         0x6C, 0x76, 0x6F, 0x72, 0x20, 0x54, 0x31, 0x2D};
// The reader's vendor codes (CTL_CODE(FILE_DEVICE_UNKNOWN, 0x80C/0x80D, ...)).
constexpr DWORD kVendorWrite = 0x222030;
constexpr DWORD kVendorRead = 0x222034;

RESPONSECODE open(const std::string &device, DWORD lun = kLun) {
  std::string copy = device;
  return IFDHCreateChannelByName(lun, copy.data());
}

// What the handler said on stderr (pcscd's log, outside pcscd) for `device`.
std::string refusal(const std::string &device) {
  ::testing::internal::CaptureStderr();
  EXPECT_EQ(open(device), IFD_COMMUNICATION_ERROR) << device;
  return ::testing::internal::GetCapturedStderr();
}

class IfdHandlerTest : public ::testing::Test {
protected:
  void TearDown() override {
    IFDHCloseChannel(kLun);
    std::error_code ignored;
    std::filesystem::remove_all(dir_, ignored);
  }

  std::string slot() {
    dir_ = std::filesystem::temp_directory_path() /
           ("talvor-ifd-" + std::to_string(::getpid()));
    return (dir_ / "slots" / "slot0").string();
  }

  static void write(const std::string &fifo, const std::string &text) {
    std::ofstream(fifo) << text;
  }

  static Bytes power_up() {
    UCHAR atr[MAX_ATR_SIZE];
    DWORD length = sizeof atr;
    EXPECT_EQ(IFDHPowerICC(kLun, IFD_POWER_UP, atr, &length), IFD_SUCCESS);
    return Bytes(atr, atr + length);
  }

  static std::pair<RESPONSECODE, Bytes>
  transmit(DWORD protocol, const Bytes &apdu, DWORD capacity) {
    Bytes response(capacity + 1, 0xEE);
    DWORD length = capacity;
    SCARD_IO_HEADER send{protocol, 8};
    SCARD_IO_HEADER receive{99, 0};
    const RESPONSECODE code = IFDHTransmitToICC(
        kLun, send, const_cast<UCHAR *>(apdu.data()),
        static_cast<DWORD>(apdu.size()), response.data(), &length, &receive);
    EXPECT_EQ(response[capacity], 0xEE) << "written past the buffer";
    response.resize(length);
    if (code == IFD_SUCCESS) {
      EXPECT_EQ(receive.Protocol, protocol);
    }
    return {code, response};
  }

  static Bytes attribute(DWORD tag, DWORD capacity = 64) {
    Bytes value(capacity);
    DWORD length = capacity;
    EXPECT_EQ(IFDHGetCapabilities(kLun, tag, &length, value.data()),
              IFD_SUCCESS)
        << std::hex << tag;
    value.resize(length);
    return value;
  }

  template <typename Function> static Function function(DWORD tag) {
    Function value = nullptr;
    DWORD length = sizeof value;
    EXPECT_EQ(IFDHGetCapabilities(kLun, tag, &length,
                                  reinterpret_cast<PUCHAR>(&value)),
              IFD_SUCCESS);
    EXPECT_EQ(length, sizeof value);
    return value;
  }

  std::filesystem::path dir_;
};

TEST_F(IfdHandlerTest, RefusesWhatItCannotServeWithTheReason) {
  EXPECT_THAT(refusal("talvor:no-such-card"),
              HasSubstr("no card model \"no-such-card\""));
  EXPECT_THAT(refusal("\"talvor:t1-lrc;build=1.2\""),
              HasSubstr("no build \"1.2\""));
  EXPECT_THAT(refusal("\"talvor:t0;reader=slow\""),
              HasSubstr("no reader model \"slow\""));
  EXPECT_THAT(refusal("\"talvor:t0;app=bank\""),
              HasSubstr("no application \"bank\""));
  EXPECT_THAT(refusal("\"talvor:t0;t1-lrc\""), HasSubstr("given twice"));
  EXPECT_THAT(refusal("\"talvor:t0;colour=red\""),
              HasSubstr("unknown option \"colour\""));
  EXPECT_THAT(refusal("\"talvor:t0;slot=relative/path\""),
              HasSubstr("absolute path"));
  EXPECT_THAT(refusal("vicc:192.0.2.1:35963"), HasSubstr("only 127.0.0.1"));
  EXPECT_THAT(refusal("vicc:127.0.0.1:99999"), HasSubstr("bad port"));
  EXPECT_THAT(refusal("\"talvor:vicc:127.0.0.1:35963;slot=/tmp/x\""),
              HasSubstr("no slot FIFO"));
  // A slot path taken by something that is no FIFO is left alone.
  const std::string taken = slot();
  std::filesystem::create_directories(std::filesystem::path(taken));
  EXPECT_THAT(refusal("\"talvor:t0;slot=" + taken + "\""),
              HasSubstr("exists and is no FIFO"));
  EXPECT_TRUE(std::filesystem::is_directory(taken));

  EXPECT_EQ(IFDHCreateChannel(kLun, 1), IFD_COMMUNICATION_ERROR);
  // Nothing was opened: every call finds no reader.
  EXPECT_EQ(IFDHICCPresence(kLun), IFD_NO_SUCH_DEVICE);
  EXPECT_EQ(IFDHCloseChannel(kLun), IFD_NO_SUCH_DEVICE);
  ASSERT_EQ(open("talvor:t1-lrc"), IFD_SUCCESS);
  EXPECT_EQ(open("talvor:t1-lrc"), IFD_COMMUNICATION_ERROR); // Lun taken
}

TEST_F(IfdHandlerTest, ChecksEveryBufferAndProtocol) {
  ASSERT_EQ(open("\"talvor:t1-lrc;app=echo;reader=instant\""), IFD_SUCCESS);
  EXPECT_EQ(IFDHICCPresence(kLun), IFD_ICC_PRESENT);
  DWORD length = MAX_ATR_SIZE;
  EXPECT_EQ(IFDHPowerICC(kLun, IFD_POWER_UP, nullptr, &length),
            IFD_COMMUNICATION_ERROR);
  EXPECT_EQ(IFDHPowerICC(kLun, 7, nullptr, nullptr), IFD_NOT_SUPPORTED);
  EXPECT_EQ(power_up(), kAtrT1Lrc);
  EXPECT_EQ(IFDHSetProtocolParameters(kLun, SCARD_PROTOCOL_T1,
                                      IFD_NEGOTIATE_PTS1, 0x13, 0, 0),
            IFD_NOT_SUPPORTED);
  EXPECT_EQ(IFDHSetProtocolParameters(kLun, SCARD_PROTOCOL_T0, 0, 0, 0, 0),
            IFD_PROTOCOL_NOT_SUPPORTED); // a T=1 card
  ASSERT_EQ(IFDHSetProtocolParameters(kLun, SCARD_PROTOCOL_T1, 0, 0, 0, 0),
            IFD_SUCCESS);

  // Case 2, 16 bytes (P1 + i) and SW1 SW2: 18 bytes fit, 17 do not.
  const Bytes case2 = {0x00, 0x20, 0x05, 0x00, 0x10};
  Bytes expected;
  for (UCHAR i = 0; i < 16; ++i)
    expected.push_back(static_cast<UCHAR>(0x05 + i));
  expected.insert(expected.end(), {0x90, 0x00});
  EXPECT_EQ(
      transmit(1, case2, 17),
      std::make_pair(RESPONSECODE{IFD_ERROR_INSUFFICIENT_BUFFER}, Bytes{}));
  EXPECT_EQ(transmit(1, case2, 18),
            std::make_pair(RESPONSECODE{IFD_SUCCESS}, expected));
  EXPECT_EQ(transmit(1, {0x00, 0x20, 0x05}, 18).first, IFD_COMMUNICATION_ERROR);
  EXPECT_EQ(transmit(4, case2, 18).first, IFD_PROTOCOL_NOT_SUPPORTED);
  EXPECT_EQ(transmit(0, case2, 18).first, IFD_COMMUNICATION_ERROR); // not T=0
  SCARD_IO_HEADER header{1, 8};
  UCHAR apdu[4] = {0x00, 0x10, 0x00, 0x00};
  EXPECT_EQ(IFDHTransmitToICC(kLun, header, apdu, 4, apdu, nullptr, nullptr),
            IFD_COMMUNICATION_ERROR);

  EXPECT_EQ(IFDHPowerICC(kLun, IFD_POWER_DOWN, nullptr, nullptr), IFD_SUCCESS);
  EXPECT_EQ(transmit(1, case2, 18).first, IFD_COMMUNICATION_ERROR);
  EXPECT_EQ(attribute(TAG_IFD_ATR), Bytes{}); // no powered card: no ATR
  EXPECT_EQ(IFDHCloseChannel(kLun), IFD_SUCCESS);
  EXPECT_EQ(transmit(1, case2, 18).first, IFD_NO_SUCH_DEVICE);
}

TEST_F(IfdHandlerTest, AnswersCapabilitiesAndPassesVendorCodes) {
  ASSERT_EQ(open("\"talvor:t1-lrc;build=10\""), IFD_SUCCESS);
  EXPECT_EQ(power_up(), kAtrT1Lrc);
  EXPECT_EQ(attribute(TAG_IFD_ATR), kAtrT1Lrc);
  EXPECT_EQ(attribute(SCARD_ATTR_ATR_STRING), kAtrT1Lrc);
  EXPECT_EQ(attribute(TAG_IFD_SLOTS_NUMBER), Bytes{1});
  EXPECT_EQ(attribute(TAG_IFD_THREAD_SAFE), Bytes{1});
  EXPECT_EQ(attribute(TAG_IFD_POLLING_THREAD_KILLABLE), Bytes{0});
  const char type[] = "Veltraxon reader 1.0"; // with its NUL, as Windows has it
  EXPECT_EQ(attribute(SCARD_ATTR_VENDOR_IFD_TYPE),
            Bytes(type, type + sizeof type));
  DWORD length = 4;
  UCHAR small[4];
  EXPECT_EQ(IFDHGetCapabilities(kLun, TAG_IFD_ATR, &length, small),
            IFD_ERROR_INSUFFICIENT_BUFFER);
  EXPECT_EQ(length, 0u);
  length = sizeof small;
  EXPECT_EQ(IFDHGetCapabilities(kLun, 0x0FFF, &length, small), IFD_ERROR_TAG);
  length = sizeof small;
  EXPECT_EQ(IFDHGetCapabilities(kLun, SCARD_ATTR_VALUE(SCARD_CLASS_SECURITY, 1),
                                &length, small),
            IFD_ERROR_TAG);

  UCHAR value[2] = {0x5A, 0xC3};
  UCHAR read[8] = {};
  DWORD returned = 99;
  EXPECT_EQ(IFDHControl(kLun, kVendorWrite, value, 2, nullptr, 0, &returned),
            IFD_SUCCESS);
  EXPECT_EQ(returned, 0u);
  EXPECT_EQ(
      IFDHControl(kLun, kVendorRead, nullptr, 0, read, sizeof read, &returned),
      IFD_SUCCESS);
  EXPECT_EQ(Bytes(read, read + returned), (Bytes{0x5A, 0xC3}));
  EXPECT_EQ(IFDHControl(kLun, kVendorRead, nullptr, 0, read, 1, &returned),
            IFD_ERROR_INSUFFICIENT_BUFFER);
  EXPECT_EQ(returned, 0u);
  // Codes that are not the reader's (here pcscd's feature request).
  EXPECT_EQ(
      IFDHControl(kLun, 0x42000D48, nullptr, 0, read, sizeof read, &returned),
      IFD_ERROR_NOT_SUPPORTED);
  EXPECT_EQ(IFDHControl(kLun, kVendorRead, nullptr, 0, nullptr, 2, &returned),
            IFD_COMMUNICATION_ERROR);
}

TEST_F(IfdHandlerTest, PollingThreadFollowsTheSlotAndWakes) {
  const std::string fifo = slot();
  ASSERT_EQ(open("\"talvor:none;reader=instant;slot=" + fifo + "\""),
            IFD_SUCCESS);
  using Poll = RESPONSECODE (*)(DWORD, int);
  using Wake = RESPONSECODE (*)(DWORD);
  const auto poll = function<Poll>(TAG_IFD_POLLING_THREAD_WITH_TIMEOUT);
  const auto wake = function<Wake>(TAG_IFD_STOP_POLLING_THREAD);
  ASSERT_TRUE(poll && wake);

  EXPECT_EQ(IFDHICCPresence(kLun), IFD_ICC_NOT_PRESENT);
  // Nothing happens: the time-out ends the wait.
  EXPECT_EQ(poll(kLun, 20), IFD_SUCCESS);
  auto waiting = std::async(std::launch::async, [&] { return poll(kLun, 0); });
  write(fifo, "insert t0\n");
  EXPECT_EQ(waiting.get(), IFD_SUCCESS);
  EXPECT_EQ(IFDHICCPresence(kLun), IFD_ICC_PRESENT);

  waiting = std::async(std::launch::async, [&] { return poll(kLun, 0); });
  write(fifo, "remove\n");
  EXPECT_EQ(waiting.get(), IFD_SUCCESS);
  EXPECT_EQ(IFDHICCPresence(kLun), IFD_ICC_NOT_PRESENT);

  // Woken with no event, as pcscd does at a disconnect; a wake-up that
  // comes first ends the next wait at once.
  waiting = std::async(std::launch::async, [&] { return poll(kLun, 0); });
  EXPECT_EQ(waiting.wait_for(std::chrono::milliseconds(50)),
            std::future_status::timeout);
  EXPECT_EQ(wake(kLun), IFD_SUCCESS);
  EXPECT_EQ(waiting.get(), IFD_SUCCESS);
  EXPECT_EQ(wake(kLun), IFD_SUCCESS);
  EXPECT_EQ(poll(kLun, 0), IFD_SUCCESS);
  EXPECT_EQ(IFDHICCPresence(kLun), IFD_ICC_NOT_PRESENT);

  // Closing ends a wait in progress; the FIFO goes with the reader.
  waiting = std::async(std::launch::async, [&] { return poll(kLun, 0); });
  EXPECT_EQ(IFDHCloseChannel(kLun), IFD_SUCCESS);
  waiting.get();
  EXPECT_EQ(poll(kLun, 0), IFD_NO_SUCH_DEVICE);
  EXPECT_FALSE(std::filesystem::exists(fifo));
}

TEST_F(IfdHandlerTest, ACardSwappedDuringAWaitIsReportedAbsentOnce) {
  const std::string fifo = slot();
  ASSERT_EQ(open("\"talvor:t1-lrc;reader=instant;slot=" + fifo + "\""),
            IFD_SUCCESS);
  using Poll = RESPONSECODE (*)(DWORD, int);
  const auto poll = function<Poll>(TAG_IFD_POLLING_THREAD_WITH_TIMEOUT);
  EXPECT_EQ(IFDHICCPresence(kLun), IFD_ICC_PRESENT);
  EXPECT_EQ(power_up(), kAtrT1Lrc);
  EXPECT_EQ(attribute(SCARD_ATTR_ICC_PRESENCE), Bytes{2}); // in use

  auto waiting = std::async(std::launch::async, [&] { return poll(kLun, 0); });
  write(fifo, "remove\ninsert t0\n");
  EXPECT_EQ(waiting.get(), IFD_SUCCESS);
  // Until the driver has seen the new card (present, not powered).
  for (int i = 0; i < 10000 && attribute(SCARD_ATTR_ICC_PRESENCE) != Bytes{1};
       ++i)
    std::this_thread::sleep_for(std::chrono::milliseconds(1));
  EXPECT_EQ(IFDHICCPresence(kLun), IFD_ICC_NOT_PRESENT);
  EXPECT_EQ(IFDHICCPresence(kLun), IFD_ICC_PRESENT);
}

} // namespace
