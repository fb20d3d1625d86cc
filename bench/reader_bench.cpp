// A T=1 APDU exchange through the whole stack below the driver: URBs to the
// bus, the reader's firmware, the card at 9600 bit/s. Reports the real cost
// per exchange and the modelled wire time (with the reader's full-speed
// timing, and with none at all).
#include <array>
#include <memory>

#include <benchmark/benchmark.h>

#include "platform/kernel/kernel.h"
#include "platform/usb/bus.h"
#include "sim/card/applications.h"
#include "sim/card/cards.h"
#include "sim/reader/reader.h"
#include "tests/usb/driver/usb_client.h"

namespace {

using talvor::kernel::Kernel;

struct Stack {
  PDEVICE_OBJECT pdo = nullptr;
  TEST_USB_CONFIG config{};
};

NTSTATUS vendor(Stack &stack, UCHAR request, USHORT index, PUCHAR data,
                ULONG length, bool in) {
  PURB urb = TestUsbVendorUrb(in, request, 0xFFFF, index, data, length);
  NTSTATUS status = TestUsbCall(stack.pdo, urb, 2500);
  ExFreePool(urb);
  return status;
}

NTSTATUS bulk(Stack &stack, ULONG pipe, PUCHAR data, ULONG length) {
  PURB urb =
      TestUsbBulkUrb(stack.config.Interface->Pipes[pipe].PipeHandle, data,
                     length, pipe == 1 ? 0 : USBD_TRANSFER_DIRECTION_IN);
  NTSTATUS status = TestUsbCall(stack.pdo, urb, 5000);
  ExFreePool(urb);
  return status;
}

// One T=1 exchange as the driver makes it (16 bytes back, within the
// default IFSD of 32, so that no chaining is needed): WRITE LENGTH, the block
// in 16-byte chunks, READ LENGTH 3, the prologue, READ LENGTH, the rest.
void exchange(Stack &stack, std::uint8_t &sequence) {
  std::array<UCHAR, 10> block = {0x00,
                                 static_cast<UCHAR>(sequence << 6),
                                 5,
                                 0x00,
                                 talvor::card::echo::kCase2,
                                 0x00,
                                 0x00,
                                 16};
  block[8] = 0;
  for (int i = 0; i < 8; ++i)
    block[8] ^= block[i];
  sequence ^= 1;
  vendor(stack, 0xC0, 9, block.data(), 0, false);
  bulk(stack, 1, block.data(), 9);
  std::array<UCHAR, 64> reply{};
  vendor(stack, 0xC1, 3, reply.data(), 0, false);
  bulk(stack, 2, reply.data(), 3);
  ULONG rest = reply[2] + 1u;
  vendor(stack, 0xC1, static_cast<USHORT>(rest), reply.data(), 0, false);
  for (ULONG at = 0; at < rest; at += 16)
    bulk(stack, 2, reply.data() + 3 + at, rest - at < 16 ? rest - at : 16);
}

void BM_T1Exchange(benchmark::State &state) {
  constexpr int kExchanges = 20;
  Kernel kernel;
  talvor::usb::UsbBus bus(kernel);
  talvor::reader::ReaderOptions options;
  options.timing = state.range(0) != 0 ? talvor::reader::Timing::FullSpeed
                                       : talvor::reader::Timing::Instant;
  auto firmware =
      std::make_shared<talvor::reader::ReaderFirmware>(kernel, options);
  Stack stack;
  kernel.run([&] {
    stack.pdo = bus.plug(firmware);
    TestUsbPnp(stack.pdo, IRP_MN_START_DEVICE, 0, nullptr);
    TestUsbConfigure(stack.pdo, FALSE, &stack.config);
    firmware->insert(
        std::make_unique<talvor::card::Card>(talvor::card::make_card(
            talvor::card::ReadyCard::t1_lrc,
            std::make_unique<talvor::card::EchoApplication>(
                talvor::card::EchoOptions{std::chrono::milliseconds(0)}))));
    UCHAR length = 0;
    vendor(stack, 0xA1, 0xFFFF, &length, 1, true);
    std::array<UCHAR, 64> atr{};
    bulk(stack, 2, atr.data(), length);
  });
  std::uint64_t modelled = 0;
  std::uint8_t sequence = 0;
  for (auto _ : state) {
    kernel.run([&] {
      std::uint64_t before = KeQueryInterruptTime();
      for (int i = 0; i < kExchanges; ++i)
        exchange(stack, sequence);
      modelled += KeQueryInterruptTime() - before;
    });
  }
  kernel.run([&] {
    TestUsbFreeConfig(&stack.config);
    bus.unplug(stack.pdo);
    TestUsbPnp(stack.pdo, IRP_MN_REMOVE_DEVICE, 0, nullptr);
  });
  state.SetItemsProcessed(state.iterations() * kExchanges);
  state.counters["modelled_ms_per_apdu"] =
      static_cast<double>(modelled) / 10000.0 /
      static_cast<double>(state.iterations() * kExchanges);
}

BENCHMARK(BM_T1Exchange)
    ->Arg(0)
    ->Arg(1)
    ->ArgName("full_speed")
    ->Unit(benchmark::kMillisecond)
    ->UseRealTime();

} // namespace

BENCHMARK_MAIN();
