// What the benchmarks that go through the host share: a kernel on either
// clock, a reader brought up with a card powered and a protocol selected,
// the APDUs they time, and the checks that turn anything unexpected (a
// failed request, a wrong answer, a finding of the verifier) into an error
// of the benchmark rather than a figure.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include <wdm.h>

#include "platform/kernel/kernel.h"
#include "platform/usb/device.h"
#include "sim/card/cards.h"
#include "sim/reader/reader.h"
#include "tools/host/system.h"

namespace talvor::bench {

// Real time keeps no trace text: a benchmark makes millions of lines.
std::unique_ptr<kernel::Kernel> make_kernel(kernel::Clock clock);

// Under the simulation clock the body runs as a kernel thread; under real
// time the caller's thread makes the calls itself.
template <typename Body> void in_kernel(kernel::Kernel &kernel, Body body) {
  if (kernel.clock() == kernel::Clock::Simulation)
    kernel.run(body);
  else
    body();
}

// The echo application answering at once.
std::unique_ptr<card::Card> echo_card(card::ReadyCard which);

// The card profile that runs `protocol` (SCARD_PROTOCOL_T0 or _T1).
card::ReadyCard card_for(ULONG protocol);

enum class ApduCase {
  Case1,     // header only
  Case4Long, // 255 bytes in, 256 asked back
};

// One application APDU: under T=0 a case 4 command is answered 61xx and
// fetched with GET RESPONSE, so it takes two transmissions, as it does for
// any T=0 application. An empty string when the echo came back whole, else
// what went wrong.
std::string exchange(host::Reader &reader, ULONG protocol, ApduCase apdu);

// Loads build 1.1 if it is not loaded, plugs a reader, inserts `card`,
// waits for the driver to see it, powers it and selects `protocol`. An
// empty string on success, else the step that failed and its status.
std::string bring_up(host::System &system, host::Reader *&reader,
                     std::unique_ptr<card::Card> card, ULONG protocol,
                     reader::ReaderOptions options = {},
                     const host::DeviceWrap &wrap = {});

// The kernel's teardown checks, once the system is shut down, and every
// finding of the run, one a line; empty when there are none.
std::string teardown(kernel::Kernel &kernel);

// Between the bus and the reader: passes everything on and counts the
// transfers on the default and bulk pipes (the presence thread's interrupt
// read is not part of an exchange). Keeps no log, so it costs nothing over
// millions of transfers.
class TransferCounter : public usb::UsbDevice {
public:
  explicit TransferCounter(std::shared_ptr<usb::UsbDevice> inner)
      : inner_(std::move(inner)) {}
  std::uint64_t transfers() const { return transfers_.load(); }

  const usb::UsbDescriptors &descriptors() const override {
    return inner_->descriptors();
  }
  usb::Speed speed() const override { return inner_->speed(); }
  void submit(const usb::TransferPtr &transfer) override;
  void cancelled(const usb::TransferPtr &transfer) override {
    inner_->cancelled(transfer);
  }
  void attached(usb::UsbPort &port) override { inner_->attached(port); }
  void detached() override { inner_->detached(); }

private:
  const std::shared_ptr<usb::UsbDevice> inner_;
  std::atomic<std::uint64_t> transfers_{0};
};

// The pool across every tag.
struct PoolCount {
  std::uint64_t allocations = 0;
  std::uint64_t outstanding = 0;
  std::uint64_t outstanding_bytes = 0;
  std::uint64_t driver_allocations = 0; // the driver's tag, "SCS4"
};
PoolCount pool_count(kernel::Kernel &kernel);

} // namespace talvor::bench
