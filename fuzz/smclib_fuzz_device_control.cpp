// SmartcardDeviceControl with random requests: real IRPs from the I/O
// manager to the test reader, control codes and buffers from the input,
// card insertions and removals, tracking requests and cancels between
// them, and a card whose every answer comes from the input. Each input
// runs in the simulated kernel; any verifier finding, pool block left
// behind or request never completed ends the run.
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <vector>

#include "platform/kernel/kernel.h"
#include "tests/smclib/reader/test_reader.h"

namespace {

using talvor::kernel::Kernel;

void require(bool condition, const char *what) {
  if (!condition) {
    std::fprintf(stderr, "smclib_fuzz_device_control: %s\n", what);
    std::abort();
  }
}

struct Input {
  const std::uint8_t *data;
  std::size_t size;
  std::size_t pos = 0;
  std::uint8_t byte() { return pos < size ? data[pos++] : 0; }
  ULONG ulong() {
    ULONG value = 0;
    for (int i = 0; i < 4; ++i)
      value = value << 8 | byte();
    return value;
  }
  bool empty() const { return pos >= size; }
};

// A card that answers with whatever the input says.
struct FuzzCard {
  Input *in;
  TEST_CARD ops{this, &FuzzCard::reset, &FuzzCard::exchange};

  static ULONG reset(PVOID context, PUCHAR atr, ULONG size) {
    auto &card = *static_cast<FuzzCard *>(context);
    // Mostly a sane ATR (T=0 and T=1), sometimes random bytes.
    static const UCHAR kAtr[] = {0x3B, 0xD2, 0x18, 0x00, 0x81, 0x31,
                                 0xFE, 0x58, 0xC9, 0x01, 0x14};
    const std::uint8_t choice = card.in->byte();
    if (choice < 0xC0) {
      std::memcpy(atr, kAtr, sizeof kAtr);
      return sizeof kAtr;
    }
    const ULONG length = card.in->byte() % 70;
    for (ULONG i = 0; i < length && i < size; ++i)
      atr[i] = card.in->byte();
    return length;
  }

  static NTSTATUS exchange(PVOID context, ULONG, const UCHAR *, ULONG,
                           PUCHAR receive, ULONG size, PULONG received) {
    auto &card = *static_cast<FuzzCard *>(context);
    const std::uint8_t flags = card.in->byte();
    if (flags == 0xFF || card.in->empty())
      return STATUS_IO_TIMEOUT;
    const ULONG length = std::min<ULONG>(card.in->byte(), size);
    for (ULONG i = 0; i < length; ++i)
      receive[i] = card.in->byte();
    // Make a T=1 block's LEN and LRC right, to get past the checks.
    if ((flags & 1) && length >= 4) {
      receive[2] = static_cast<UCHAR>(length - 4);
      UCHAR lrc = 0;
      for (ULONG i = 0; i + 1 < length; ++i)
        lrc ^= receive[i];
      receive[length - 1] = lrc;
    }
    *received = length;
    return STATUS_SUCCESS;
  }
};

struct Pending {
  PIRP irp = nullptr;
  KEVENT done{};

  static NTSTATUS completion(PDEVICE_OBJECT, PIRP, PVOID context) {
    KeSetEvent(&static_cast<Pending *>(context)->done, IO_NO_INCREMENT, FALSE);
    return STATUS_MORE_PROCESSING_REQUIRED;
  }
};

const ULONG kCodes[] = {
    IOCTL_SMARTCARD_POWER,         IOCTL_SMARTCARD_GET_ATTRIBUTE,
    IOCTL_SMARTCARD_SET_ATTRIBUTE, IOCTL_SMARTCARD_CONFISCATE,
    IOCTL_SMARTCARD_TRANSMIT,      IOCTL_SMARTCARD_EJECT,
    IOCTL_SMARTCARD_SWALLOW,       IOCTL_SMARTCARD_SET_PROTOCOL,
    IOCTL_SMARTCARD_GET_STATE,     IOCTL_SMARTCARD_GET_LAST_ERROR,
    IOCTL_SMARTCARD_GET_PERF_CNTR, IOCTL_TEST_READER_ECHO,
};

void send(PDEVICE_OBJECT device, Input &in) {
  const std::uint8_t selector = in.byte();
  ULONG code = kCodes[selector % (sizeof kCodes / sizeof kCodes[0])];
  if (selector >= 0xF0)
    code = in.ulong() & ~ULONG{3}; // any buffered code at all
  // Tracking requests are sent apart: they may wait for ever.
  if (code == IOCTL_SMARTCARD_IS_PRESENT || code == IOCTL_SMARTCARD_IS_ABSENT)
    code = IOCTL_SMARTCARD_GET_STATE;
  const ULONG input_length = in.byte();
  const ULONG output_length = in.byte() * 2;
  std::vector<std::uint8_t> input(input_length), output(output_length);
  // A plausible first ULONG (power code, protocol mask, attribute).
  if (input_length >= 4 && (in.byte() & 1)) {
    const ULONG first = in.byte() < 0x80 ? in.byte() % 4 : in.ulong();
    std::memcpy(input.data(), &first, sizeof first);
  }
  if (code == IOCTL_SMARTCARD_TRANSMIT && input_length >= 8 &&
      (in.byte() & 1)) {
    const SCARD_IO_REQUEST header = {in.byte() % 3 == 0 ? ULONG{1} : 2, 8};
    std::memcpy(input.data(), &header, sizeof header);
  }
  for (std::size_t i = 8; i < input.size(); ++i)
    input[i] = in.byte();
  KEVENT done;
  IO_STATUS_BLOCK status_block{};
  KeInitializeEvent(&done, NotificationEvent, FALSE);
  PIRP irp = IoBuildDeviceIoControlRequest(
      code, device, input.data(), input_length, output.data(), output_length,
      FALSE, &done, &status_block);
  require(irp != nullptr, "no IRP");
  if (IoCallDriver(device, irp) == STATUS_PENDING)
    KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
  require(status_block.Information <= output_length,
          "information beyond the output buffer");
}

std::unique_ptr<Pending> track(PDEVICE_OBJECT device, ULONG code) {
  auto pending = std::make_unique<Pending>();
  KeInitializeEvent(&pending->done, NotificationEvent, FALSE);
  pending->irp = IoAllocateIrp(device->StackSize, FALSE);
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(pending->irp);
  next->MajorFunction = IRP_MJ_DEVICE_CONTROL;
  next->Parameters.DeviceIoControl.IoControlCode = code;
  IoSetCompletionRoutine(pending->irp, Pending::completion, pending.get(), TRUE,
                         TRUE, TRUE);
  IoCallDriver(device, pending->irp);
  return pending;
}

void play(Input &in) {
  PDRIVER_OBJECT driver =
      Kernel::get().io().create_driver("\\Driver\\SmclibFuzz", "SmclibFuzz");
  TestReaderInitialize(driver);
  FuzzCard card{&in};
  PDEVICE_OBJECT device = nullptr;
  require(TestReaderCreate(driver, &card.ops, &device) == STATUS_SUCCESS,
          "reader creation");
  std::vector<std::unique_ptr<Pending>> tracking;
  for (int step = 0; step < 64 && !in.empty(); ++step) {
    const std::uint8_t op = in.byte();
    switch (op % 8) {
    case 0:
      TestReaderUpdateCardState(device, TRUE);
      break;
    case 1:
      if (op & 0x80)
        TestReaderUpdateCardState(device, FALSE);
      break;
    case 2:
      tracking.push_back(track(device, (op & 0x10)
                                           ? IOCTL_SMARTCARD_IS_PRESENT
                                           : IOCTL_SMARTCARD_IS_ABSENT));
      break;
    case 3:
      if (!tracking.empty())
        IoCancelIrp(tracking[op % tracking.size()]->irp);
      break;
    default:
      send(device, in);
      break;
    }
  }
  TestReaderRemove(device);
  for (auto &pending : tracking) {
    LARGE_INTEGER zero{};
    require(KeWaitForSingleObject(&pending->done, Executive, KernelMode, FALSE,
                                  &zero) == STATUS_SUCCESS,
            "a tracking request never completed");
    IoFreeIrp(pending->irp);
  }
  Kernel::get().io().delete_driver(driver);
}

void require_no_findings(Kernel &kernel) {
  for (const auto &finding : kernel.verifier().take()) {
    std::fprintf(stderr, "%s\n", talvor::kernel::to_string(finding).c_str());
    require(false, "verifier finding");
  }
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t *data,
                                      std::size_t size) {
  // A kernel keeps the OS threads of its ended kernel threads until it
  // goes: a fresh one every so many inputs keeps the process small.
  constexpr int kInputsPerKernel = 200;
  static std::unique_ptr<Kernel> kernel;
  static int inputs = 0;
  if (kernel == nullptr || ++inputs % kInputsPerKernel == 0) {
    if (kernel != nullptr) {
      kernel->check_teardown();
      require_no_findings(*kernel);
      kernel.reset();
    }
    talvor::kernel::Options options;
    options.seed = 1;
    kernel = std::make_unique<Kernel>(options);
  }
  const std::uint64_t blocks_before = kernel->pool().outstanding();
  Input in{data, size};
  auto result = kernel->run([&] { play(in); });
  require(result.ok(), result.report.c_str());
  require_no_findings(*kernel);
  require(kernel->pool().outstanding() == blocks_before, "pool blocks left");
  return 0;
}
