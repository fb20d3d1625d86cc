// Captures of the driver at work, read back with tshark as a person would
// open them in Wireshark.
#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

#include <gtest/gtest.h>
#include <winsmcrd.h>

#include "platform/usb/capture.h"
#include "sim/card/applications.h"
#include "sim/card/cards.h"
#include "tests/support/sim.h"
#include "tools/host/system.h"

namespace talvor::test {
namespace {

namespace fsys = std::filesystem;
using Bytes = std::vector<std::uint8_t>;

std::string hex(const Bytes &bytes) {
  static const char digits[] = "0123456789abcdef";
  std::string text;
  for (std::uint8_t byte : bytes) {
    text += digits[byte >> 4];
    text += digits[byte & 15];
  }
  return text;
}

// One packet as tshark dissects it.
struct Packet {
  std::string time, urb_type, transfer_type, endpoint, device, request, value,
      index, length, status, urb_length, data_length, data, request_in, flags,
      urb_id, interval;
};

const std::vector<std::string> kFields = {
    "frame.time_epoch",     "usb.urb_type",       "usb.transfer_type",
    "usb.endpoint_address", "usb.device_address", "usb.setup.bRequest",
    "usb.setup.wValue",     "usb.setup.wIndex",   "usb.setup.wLength",
    "usb.urb_status",       "usb.urb_len",        "usb.data_len",
    "usb.capdata",          "usb.request_in",     "usb.copy_of_transfer_flags",
    "usb.urb_id",           "usb.interval"};

class CaptureTest : public SimTest {
protected:
  void SetUp() override {
    SimTest::SetUp();
    dir_ = fsys::temp_directory_path() /
           ("talvor-capture-" + std::to_string(::getpid()) + "-" +
            ::testing::UnitTest::GetInstance()->current_test_info()->name());
    fsys::remove_all(dir_);
    fsys::create_directories(dir_);
  }
  void TearDown() override {
    SimTest::TearDown();
    if (!HasFailure())
      fsys::remove_all(dir_);
  }

  // tshark's output for `arguments` (stderr kept beside it); the test
  // fails when tshark is missing or fails.
  std::string tshark(const std::string &arguments) {
    if (std::system("command -v tshark >/dev/null 2>&1") != 0) {
      ADD_FAILURE() << "tshark is not installed (Debian package tshark; "
                       "`make test` installs it)";
      return {};
    }
    const fsys::path errors = dir_ / "tshark.err";
    const std::string command =
        "tshark " + arguments + " 2>'" + errors.string() + "'";
    std::FILE *pipe = ::popen(command.c_str(), "r");
    if (pipe == nullptr) {
      ADD_FAILURE() << "cannot run " << command;
      return {};
    }
    std::string output;
    char buffer[4096];
    std::size_t count;
    while ((count = std::fread(buffer, 1, sizeof buffer, pipe)) > 0)
      output.append(buffer, count);
    int status = ::pclose(pipe);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
      std::ifstream in(errors);
      ADD_FAILURE() << command << " failed:\n" << in.rdbuf();
    }
    return output;
  }

  std::vector<Packet> packets(const fsys::path &file) {
    std::string arguments =
        "-r '" + file.string() + "' -T fields -E occurrence=f";
    for (const auto &field : kFields)
      arguments += " -e " + field;
    std::vector<Packet> result;
    std::istringstream lines(tshark(arguments));
    for (std::string line; std::getline(lines, line);) {
      std::vector<std::string> cells;
      std::istringstream row(line);
      for (std::string cell; std::getline(row, cell, '\t');)
        cells.push_back(cell);
      cells.resize(kFields.size());
      result.push_back({cells[0], cells[1], cells[2], cells[3], cells[4],
                        cells[5], cells[6], cells[7], cells[8], cells[9],
                        cells[10], cells[11], cells[12], cells[13], cells[14],
                        cells[15], cells[16]});
    }
    return result;
  }

  fsys::path dir_;
};

// The T=1 block of an I-block with N(S) 0 carrying `apdu`, with its LRC.
Bytes t1_block(const Bytes &apdu) {
  Bytes block{0x00, 0x00, static_cast<std::uint8_t>(apdu.size())};
  block.insert(block.end(), apdu.begin(), apdu.end());
  std::uint8_t lrc = 0;
  for (std::uint8_t byte : block)
    lrc ^= byte;
  block.push_back(lrc);
  return block;
}

// A session on one reader (device 2) and a second reader pulled out
// (device 3): the vendor requests, the 16-byte chunks of a T=1 block, the
// answers, and how the pending interrupt reads ended.
TEST_F(CaptureTest, DriverSessionReadsBackInTshark) {
  const fsys::path file = dir_ / "session.pcap";
  Bytes apdu{0x80, card::echo::kCase4, 0x00, 0x00, 40};
  for (std::uint8_t i = 0; i < 40; ++i)
    apdu.push_back(i);
  apdu.push_back(8); // Le
  run([&] {
    std::string error;
    auto capture = usb::Capture::open(kernel(), file.string(), &error);
    ASSERT_TRUE(capture) << error;
    host::System system(kernel());
    ASSERT_EQ(system.load("11"), STATUS_SUCCESS) << system.last_error();
    auto wrap = [&](auto device) { return capture->wrap(device); };
    host::Reader *reader = system.plug("11", {}, wrap);
    ASSERT_NE(reader, nullptr);
    reader->insert(std::make_unique<card::Card>(card::make_card(
        card::ReadyCard::t1_lrc, std::make_unique<card::EchoApplication>())));
    ASSERT_EQ(reader->open(), STATUS_SUCCESS);
    ASSERT_EQ(reader->track(true).wait(), STATUS_SUCCESS);
    ASSERT_TRUE(reader->power(SCARD_COLD_RESET).ok());
    ASSERT_TRUE(reader->set_protocol(SCARD_PROTOCOL_T1).ok());
    host::Answer answer = reader->transmit(SCARD_PROTOCOL_T1, apdu);
    ASSERT_TRUE(answer.ok());
    EXPECT_EQ(hex(answer.bytes), "00010203040506079000");
    host::Reader *pulled = system.plug("11", {}, wrap);
    ASSERT_NE(pulled, nullptr);
    LARGE_INTEGER settle;         // its presence thread reads again
    settle.QuadPart = -2'000'000; // 200 ms
    KeDelayExecutionThread(KernelMode, FALSE, &settle);
    ASSERT_EQ(system.remove(reader), STATUS_SUCCESS);
    system.unplug(pulled);
    system.shut_down();
    capture->close();
    EXPECT_EQ(capture->error(), "");
  });

  std::vector<Packet> all = packets(file);
  ASSERT_FALSE(all.empty());

  // Every completion names its submission; time never runs backwards.
  for (std::size_t i = 0; i < all.size(); ++i) {
    const Packet &packet = all[i];
    SCOPED_TRACE("frame " + std::to_string(i + 1));
    EXPECT_EQ(packet.urb_type == "'C'", !packet.request_in.empty());
    if (i > 0) {
      EXPECT_LE(std::stod(all[i - 1].time), std::stod(packet.time));
    }
  }
  EXPECT_EQ(all.front().time, "1767225600.000000000");
  EXPECT_EQ(all.front().urb_id, "0x0000000000000001");
  // The file header: classic pcap, version 2.4, snapshot length 256 KiB,
  // link type 220 (USB with the Linux mmapped usbmon header).
  {
    std::ifstream in(file, std::ios::binary);
    Bytes header(24);
    in.read(reinterpret_cast<char *>(header.data()), 24);
    EXPECT_EQ(hex(header), "d4c3b2a1020004000000000000000000"
                           "00000400dc000000");
  }

  std::vector<std::string> standard, vendor, bulk_out, bulk_in, interrupt;
  for (const Packet &packet : all) {
    if (packet.device != "2")
      continue;
    const bool submitted = packet.urb_type == "'S'";
    if (packet.transfer_type == "0x02" && submitted) {
      const int request = std::stoi(packet.request);
      if (request < 0x80)
        standard.push_back(packet.request + " " + packet.length + " " +
                           packet.flags);
      else
        vendor.push_back(packet.endpoint + " " + packet.request + " " +
                         packet.value + " " + packet.index + " " +
                         packet.length + " " + packet.status);
    } else if (packet.transfer_type == "0x03" && packet.endpoint == "0x02") {
      bulk_out.push_back(packet.urb_type + " " + packet.urb_length + " " +
                         packet.data);
    } else if (packet.transfer_type == "0x03" && !submitted) {
      bulk_in.push_back(packet.status + " " + packet.data + " " + packet.flags);
    } else if (packet.transfer_type == "0x01") {
      interrupt.push_back(packet.urb_type + " " + packet.endpoint + " " +
                          packet.status + " " + packet.urb_length + "/" +
                          packet.data_length + " " + packet.data + " " +
                          packet.interval + " " + packet.flags);
    }
  }
  EXPECT_EQ(standard,
            (std::vector<std::string>{"6 18 0x00000200", "6 521 0x00000200",
                                      "9 0 0x00000000"}));
  // COLD RESET, the PPS out and back, SET PARAMETERS T=1, the IFS request
  // and its answer in two reads, the block out and its answer.
  EXPECT_EQ(vendor, (std::vector<std::string>{
                        "0x80 161 0xffff 65535 1 -115",
                        "0x00 192 0xffff 4 0 -115",
                        "0x00 193 0xffff 4 0 -115",
                        "0x00 165 0xffff 65535 2 -115",
                        "0x00 192 0xffff 5 0 -115",
                        "0x00 193 0xffff 3 0 -115",
                        "0x00 193 0xffff 2 0 -115",
                        "0x00 192 0xffff 50 0 -115",
                        "0x00 193 0xffff 3 0 -115",
                        "0x00 193 0xffff 11 0 -115",
                    }));
  const std::string block = hex(t1_block(apdu));
  ASSERT_EQ(block.size(), 100u);
  EXPECT_EQ(bulk_out, (std::vector<std::string>{
                          "'S' 4 ff1111ff",
                          "'C' 4 ",
                          "'S' 5 00c101fb3b",
                          "'C' 5 ",
                          "'S' 16 " + block.substr(0, 32),
                          "'C' 16 ",
                          "'S' 16 " + block.substr(32, 32),
                          "'C' 16 ",
                          "'S' 16 " + block.substr(64, 32),
                          "'C' 16 ",
                          "'S' 2 " + block.substr(96),
                          "'C' 2 ",
                      }));
  const std::string atr =
      hex(card::ready_profile(card::ReadyCard::t1_lrc).atr.bytes());
  EXPECT_EQ(bulk_in, (std::vector<std::string>{
                         "0 " + atr + " 0x00000201",
                         "0 ff1111ff 0x00000201",
                         "0 00e101 0x00000201",
                         "0 fb1b 0x00000201",
                         "0 00000a 0x00000201",
                         "0 000102030405060790009a 0x00000201",
                     }));
  // Presence bytes 1, then the read left pending until the removal, which
  // cancels it.
  ASSERT_FALSE(interrupt.empty());
  EXPECT_EQ(interrupt.front(), "'S' 0x81 -115 1/0  10 0x00000201");
  EXPECT_EQ(interrupt.back(), "'C' 0x81 -104 0/0  10 0x00000201");
  EXPECT_NE(std::find(interrupt.begin(), interrupt.end(),
                      "'C' 0x81 0 1/1 01 10 0x00000201"),
            interrupt.end());

  // The reader pulled out: its pending read ends with the disconnect.
  std::vector<std::string> pulled;
  for (const Packet &packet : all)
    if (packet.device == "3" && packet.transfer_type == "0x01")
      pulled.push_back(packet.urb_type + " " + packet.status);
  ASSERT_FALSE(pulled.empty());
  EXPECT_EQ(pulled.back(), "'C' -108");

  // Nothing malformed, nothing tshark would warn about.
  EXPECT_EQ(tshark("-r '" + file.string() +
                   "' -Y '_ws.malformed || _ws.expert' -T fields -e "
                   "frame.number"),
            "");
}

// The device behind a wrapper: what reaches it.
class Recorder final : public usb::UsbDevice {
public:
  const usb::UsbDescriptors &descriptors() const override {
    return descriptors_;
  }
  void submit(const usb::TransferPtr &transfer) override {
    submitted.push_back(transfer);
  }
  void cancelled(const usb::TransferPtr &transfer) override {
    cancelled_transfers.push_back(transfer);
  }
  void detached() override { is_detached = true; }

  std::vector<usb::TransferPtr> submitted, cancelled_transfers;
  bool is_detached = false;

private:
  usb::UsbDescriptors descriptors_;
};

// The wrapper is transparent: results and their delays go up, the host's
// cancellations and the unplug go down, and each end is captured once.
TEST_F(CaptureTest, WrapperPassesEverythingOn) {
  const fsys::path file = dir_ / "wrapper.pcap";
  std::string error;
  auto capture = usb::Capture::open(kernel(), file.string(), &error);
  ASSERT_TRUE(capture) << error;
  auto recorder = std::make_shared<Recorder>();
  auto device = capture->wrap(recorder);
  std::vector<std::string> seen; // by the host
  auto transfer = [&](std::uint64_t id, usb::TransferType type,
                      std::uint8_t endpoint) {
    return std::make_shared<usb::UsbTransfer>(
        id, usb::UsbTransfer::Request{type, endpoint, {}, {}, 4, false},
        [&seen, id](const usb::TransferResult &result, std::uint64_t delay) {
          seen.push_back(std::to_string(id) + " " + hex(result.data) + " " +
                         std::to_string(delay));
        });
  };
  auto read = transfer(1, usb::TransferType::Bulk, 0x82);
  auto cancelled = transfer(2, usb::TransferType::Bulk, 0x82);
  auto pulled = transfer(3, usb::TransferType::Interrupt, 0x81);
  auto stalled = transfer(4, usb::TransferType::Bulk, 0x02);
  for (const auto &outer : {read, cancelled, pulled, stalled})
    device->submit(outer);
  ASSERT_EQ(recorder->submitted.size(), 4u);
  EXPECT_EQ(recorder->submitted[2]->endpoint(), 0x81);

  EXPECT_TRUE(recorder->submitted[0]->complete(
      usb::TransferResult::in({0x01, 0x02}), 10'000));
  EXPECT_TRUE(recorder->submitted[3]->complete(usb::TransferResult::stall()));
  EXPECT_TRUE(cancelled->abort());
  device->cancelled(cancelled);
  ASSERT_EQ(recorder->cancelled_transfers.size(), 1u);
  EXPECT_EQ(recorder->cancelled_transfers[0], recorder->submitted[1]);
  EXPECT_FALSE(recorder->submitted[1]->complete(usb::TransferResult::ok()));
  EXPECT_TRUE(pulled->abort());
  device->detached();
  EXPECT_TRUE(recorder->is_detached);
  EXPECT_FALSE(recorder->submitted[2]->complete(usb::TransferResult::ok()));
  EXPECT_EQ(seen, (std::vector<std::string>{"1 0102 10000", "4  0"}));
  capture->close();

  std::vector<std::string> ends;
  for (const Packet &packet : packets(file))
    ends.push_back(packet.urb_type + " " + packet.endpoint + " " +
                   packet.status + " " + packet.urb_length + " " + packet.data +
                   " " + packet.time);
  EXPECT_EQ(ends, (std::vector<std::string>{
                      "'S' 0x82 -115 4  1767225600.000000000",
                      "'S' 0x82 -115 4  1767225600.000000000",
                      "'S' 0x81 -115 4  1767225600.000000000",
                      "'S' 0x02 -115 4  1767225600.000000000",
                      "'C' 0x02 -32 0  1767225600.000000000",
                      "'C' 0x82 -104 0  1767225600.000000000",
                      "'C' 0x81 -108 0  1767225600.000000000",
                      "'C' 0x82 0 2 0102 1767225600.001000000",
                  }));
}

// A capture that cannot be written never troubles the driver: the error
// is reported once, and the session goes on.
TEST_F(CaptureTest, WriteFailuresAreReportedNotFelt) {
  std::string error;
  EXPECT_EQ(usb::Capture::open(kernel(), (dir_ / "no" / "such.pcap").string(),
                               &error),
            nullptr);
  EXPECT_EQ(error, "cannot create " + (dir_ / "no" / "such.pcap").string() +
                       ": No such file or directory");

  run([&] {
    std::string reason;
    auto capture = usb::Capture::open(kernel(), "/dev/full", &reason);
    ASSERT_TRUE(capture) << reason;
    host::System system(kernel());
    ASSERT_EQ(system.load("10"), STATUS_SUCCESS) << system.last_error();
    host::Reader *reader = system.plug(
        "10", {}, [&](auto device) { return capture->wrap(device); });
    ASSERT_NE(reader, nullptr);
    reader->insert(std::make_unique<card::Card>(card::make_card(
        card::ReadyCard::t1_lrc, std::make_unique<card::EchoApplication>())));
    ASSERT_EQ(reader->open(), STATUS_SUCCESS);
    ASSERT_EQ(reader->track(true).wait(), STATUS_SUCCESS);
    for (int i = 0; i < 50; ++i)
      ASSERT_TRUE(reader->power(SCARD_COLD_RESET).ok());
    EXPECT_EQ(capture->error(),
              "cannot write /dev/full: No space left on device");
    ASSERT_EQ(system.remove(reader), STATUS_SUCCESS);
    system.shut_down();
    capture->close();
    EXPECT_EQ(capture->error(),
              "cannot write /dev/full: No space left on device");
  });
}

} // namespace
} // namespace talvor::test
