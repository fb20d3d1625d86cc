// The test reader in a simulated kernel, with a card model in its slot and
// helpers that send it device-control requests as real IRPs.
#pragma once

#include <cstring>
#include <functional>
#include <memory>

#include "tests/smclib/extension_fixture.h"
#include "tests/smclib/reader/test_reader.h"
#include "tests/support/sim.h"
#include "tests/smclib/t1_card.h"

namespace talvor::test {

// What sits in the slot: an ATR, a T=1 card, a T=0 handler, raw echo.
struct CardModel {
  Bytes atr = hex("3B FE 18 00 00 80 31 FE 45 45 73 74 45 49 44 20 76 65 72 "
                  "20 31 2E 30 A8");
  T1Card::Options t1_options{.ifsc = 254};
  T1Card::Application application = T1Card::echo;
  std::unique_ptr<T1Card> t1 = std::make_unique<T1Card>(t1_options);
  // T=0: the TPDU in, data and SW1 SW2 out. READ BINARY answers P3 bytes.
  std::function<Bytes(const Bytes &)> t0 = [](const Bytes &tpdu) {
    Bytes answer;
    if (tpdu[1] == 0xB0)
      answer.assign(tpdu[4] == 0 ? 256 : tpdu[4], 0x5A);
    answer.push_back(0x90);
    answer.push_back(0x00);
    return answer;
  };
  // Counts down the exchanges; the one that reaches 0 finds the card gone.
  int fail_in = 0;
  TEST_CARD ops{this, &CardModel::reset, &CardModel::exchange};

  static ULONG reset(PVOID context, PUCHAR atr, ULONG size) {
    auto &card = *static_cast<CardModel *>(context);
    // A reset restarts the card's protocol.
    card.t1 = std::make_unique<T1Card>(card.t1_options, card.application);
    const ULONG length = static_cast<ULONG>(card.atr.size());
    std::memcpy(atr, card.atr.data(), std::min(length, size));
    return length;
  }

  static NTSTATUS exchange(PVOID context, ULONG protocol, const UCHAR *send,
                           ULONG send_length, PUCHAR receive, ULONG size,
                           PULONG received) {
    auto &card = *static_cast<CardModel *>(context);
    *received = 0;
    if (card.fail_in > 0 && --card.fail_in == 0)
      return STATUS_DEVICE_NOT_CONNECTED;
    const Bytes in(send, send + send_length);
    Bytes out;
    if (protocol == SCARD_PROTOCOL_T1)
      out = card.t1->exchange(in);
    else if (protocol == SCARD_PROTOCOL_T0)
      out = card.t0(in);
    else
      out.assign(in.rbegin(), in.rend());
    *received = 0;
    if (out.empty())
      return STATUS_IO_TIMEOUT;
    *received = static_cast<ULONG>(std::min<std::size_t>(out.size(), size));
    std::memcpy(receive, out.data(), *received);
    return STATUS_SUCCESS;
  }
};

struct IoResult {
  NTSTATUS status = STATUS_PENDING;
  ULONG_PTR information = 0;
  Bytes output;
};

// A request on an IRP of our own, left to complete while the test goes on.
struct PendingRequest {
  PIRP irp = nullptr;
  KEVENT done{};
  NTSTATUS returned = STATUS_PENDING; // what IoCallDriver returned
  NTSTATUS status = STATUS_PENDING;   // what the IRP completed with

  static NTSTATUS completion(PDEVICE_OBJECT, PIRP irp, PVOID context) {
    auto *request = static_cast<PendingRequest *>(context);
    request->status = irp->IoStatus.Status;
    KeSetEvent(&request->done, IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
  }
  bool completed() { return KeReadStateEvent(&done) != 0; }
  NTSTATUS wait() {
    KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
    IoFreeIrp(irp);
    irp = nullptr;
    return status;
  }
};

class ReaderTest : public SimTest {
public: // helper threads of the tests call these too
  static constexpr ULONG T0 = SCARD_PROTOCOL_T0;
  static constexpr ULONG T1 = SCARD_PROTOCOL_T1;

  // Inside run(): the driver object and one reader with `card_` in it.
  void build() {
    driver_ = kernel().io().create_driver("\\Driver\\SmclibTestReader",
                                          "SmclibTestReader");
    TestReaderInitialize(driver_);
    ASSERT_EQ(TestReaderCreate(driver_, &card_.ops, &device_), STATUS_SUCCESS);
  }
  void tear_down() {
    TestReaderRemove(device_);
    device_ = nullptr;
    kernel().io().delete_driver(driver_);
  }

  PTEST_READER_EXTENSION reader() { return TestReaderExtension(device_); }
  SMARTCARD_EXTENSION &smartcard() { return reader()->SmartcardExtension; }
  LONG calls(int function) { return reader()->Reader.Calls[function]; }

  IoResult ioctl(ULONG code, const Bytes &input, ULONG output_length) {
    KEVENT done;
    IO_STATUS_BLOCK status_block{};
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    Bytes output(output_length, 0xEE);
    PIRP irp = IoBuildDeviceIoControlRequest(
        code, device_, const_cast<std::uint8_t *>(input.data()),
        static_cast<ULONG>(input.size()), output.data(), output_length, FALSE,
        &done, &status_block);
    IoResult result;
    if (irp == nullptr)
      return result;
    result.status = IoCallDriver(device_, irp);
    if (result.status == STATUS_PENDING) {
      KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
      result.status = status_block.Status;
    }
    result.information = status_block.Information;
    if (!NT_ERROR(result.status))
      output.resize(
          std::min<std::size_t>(output.size(), status_block.Information));
    else
      output.clear();
    result.output = output;
    return result;
  }

  // A transmission's answer behind its SCARD_IO_REQUEST header.
  static Bytes answer_of(const IoResult &result) {
    if (result.output.size() < sizeof(SCARD_IO_REQUEST))
      return {};
    return Bytes(result.output.begin() + sizeof(SCARD_IO_REQUEST),
                 result.output.end());
  }
  static Bytes ulong_bytes(ULONG value) {
    Bytes bytes(sizeof value);
    std::memcpy(bytes.data(), &value, sizeof value);
    return bytes;
  }
  static ULONG as_ulong(const Bytes &bytes) {
    ULONG value = 0;
    std::memcpy(&value, bytes.data(), std::min(bytes.size(), sizeof value));
    return value;
  }

  IoResult attribute(ULONG tag, ULONG output_length = 64) {
    return ioctl(IOCTL_SMARTCARD_GET_ATTRIBUTE, ulong_bytes(tag),
                 output_length);
  }
  IoResult power(ULONG code) {
    return ioctl(IOCTL_SMARTCARD_POWER, ulong_bytes(code), 64);
  }
  IoResult set_protocol(ULONG mask) {
    return ioctl(IOCTL_SMARTCARD_SET_PROTOCOL, ulong_bytes(mask), 4);
  }
  IoResult transmit(ULONG protocol, const Bytes &apdu,
                    ULONG answer_room = 1024) {
    Bytes input = ulong_bytes(protocol);
    const Bytes pci = ulong_bytes(sizeof(SCARD_IO_REQUEST));
    input.insert(input.end(), pci.begin(), pci.end());
    input.insert(input.end(), apdu.begin(), apdu.end());
    return ioctl(IOCTL_SMARTCARD_TRANSMIT, input,
                 static_cast<ULONG>(sizeof(SCARD_IO_REQUEST) + answer_room));
  }
  ULONG state() {
    return as_ulong(ioctl(IOCTL_SMARTCARD_GET_STATE, {}, 4).output);
  }
  void insert() { TestReaderUpdateCardState(device_, TRUE); }
  void remove() { TestReaderUpdateCardState(device_, FALSE); }
  // Card in, reset, protocol chosen.
  void ready(ULONG protocol) {
    insert();
    ASSERT_EQ(power(SCARD_COLD_RESET).status, STATUS_SUCCESS);
    ASSERT_EQ(set_protocol(protocol).status, STATUS_SUCCESS);
  }

  // A request of `major` (and `code`) on an IRP of our own, not yet sent.
  std::unique_ptr<PendingRequest> prepare(UCHAR major, ULONG code = 0) {
    auto request = std::make_unique<PendingRequest>();
    KeInitializeEvent(&request->done, NotificationEvent, FALSE);
    request->irp = IoAllocateIrp(device_->StackSize, FALSE);
    PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(request->irp);
    next->MajorFunction = major;
    next->Parameters.DeviceIoControl.IoControlCode = code;
    IoSetCompletionRoutine(request->irp, PendingRequest::completion,
                           request.get(), TRUE, TRUE, TRUE);
    return request;
  }
  std::unique_ptr<PendingRequest> send(UCHAR major, ULONG code = 0) {
    auto request = prepare(major, code);
    request->returned = IoCallDriver(device_, request->irp);
    return request;
  }

  static void sleep_ms(LONGLONG ms) {
    LARGE_INTEGER delay;
    delay.QuadPart = -ms * 10'000;
    KeDelayExecutionThread(KernelMode, FALSE, &delay);
  }

  CardModel card_;
  PDRIVER_OBJECT driver_ = nullptr;
  PDEVICE_OBJECT device_ = nullptr;
};

} // namespace talvor::test
