#include "tools/talvor/session.h"

#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>
#include <thread>

#include <winsmcrd.h>

#include "platform/kernel/scheduler.h"
#include "platform/usb/capture.h"
#include "sim/card/cards.h"
#include "sim/card/vpcd.h"
#include "tools/host/system.h"
#include "tools/talvor/atr.h"
#include "tools/talvor/catalog.h"

namespace talvor::cli {

namespace {

// How long the driver may take to learn that the slot changed (its presence
// thread reads the interrupt pipe): a tracking request for what the slot
// already holds must end within it. One for the other state is called
// pending after the short wait.
constexpr std::chrono::microseconds kEventGrace = std::chrono::seconds(5);
constexpr std::chrono::microseconds kTrackGrace =
    std::chrono::milliseconds(200);
constexpr std::chrono::milliseconds kViccWait = std::chrono::seconds(60);
constexpr std::size_t kTextColumn = 34;

struct Result {
  std::optional<NTSTATUS> status; // none for a step of the models alone
  std::string detail;
  std::vector<std::string> more; // lines under the step
  Bytes bytes;                   // the answer: APDU response, vendor output
  std::string failure;           // the step could not run: why
  // A card event the pending tracking request was waiting for: how the
  // request ended, nothing when it did not within kEventGrace.
  bool awaited_tracking = false;
  std::optional<NTSTATUS> tracking;
};

const char *protocol_name(ULONG protocol) {
  switch (protocol) {
  case SCARD_PROTOCOL_T0:
    return "T=0";
  case SCARD_PROTOCOL_T1:
    return "T=1";
  default:
    return "no protocol";
  }
}

class Runner {
public:
  Runner(kernel::Kernel &kernel, const SessionOptions &options,
         std::ostream &out, std::ostream &err, card::VpcdListener *listener,
         host::DeviceWrap wrap)
      : kernel_(kernel), options_(options), out_(out), err_(err),
        listener_(listener), wrap_(std::move(wrap)), system_(kernel) {}

  // False at the first unexpected result, which it names on err.
  bool run(const std::vector<Step> &steps) {
    for (const Step &step : steps) {
      Result result = execute(step);
      print(step, result);
      const std::string why = unexpected(step, result);
      if (!why.empty()) {
        err_ << step.where << ": " << why << std::endl;
        return false;
      }
      follow_tracking();
    }
    return true;
  }

private:
  Result execute(const Step &step) {
    using Kind = Step::Kind;
    Result result;
    switch (step.kind) {
    case Kind::load:
      return load(step.name);
    case Kind::plug:
      return plug(step);
    case Kind::insert:
      return insert(step);
    default:
      break;
    }
    if (reader_ == nullptr) {
      result.failure = "no reader is plugged";
      return result;
    }
    switch (step.kind) {
    case Kind::unplug:
      result.status = system_.unplug(reader_);
      reader_ = nullptr;
      break;
    case Kind::remove_reader:
      result.status = system_.remove(reader_);
      if (NT_SUCCESS(*result.status))
        reader_ = nullptr;
      break;
    case Kind::remove_card:
      if (!reader_->take_card()) {
        result.failure = "there is no card in the slot";
        break;
      }
      result.detail = "card out";
      await_tracking(false, result);
      break;
    case Kind::open:
      result.status = reader_->open();
      break;
    case Kind::close:
      result.status = reader_->close();
      break;
    case Kind::power:
      power(step, result);
      break;
    case Kind::protocol:
      protocol(step, result);
      break;
    case Kind::apdu:
      apdu(step, result);
      break;
    case Kind::track:
      track(step, result);
      break;
    case Kind::sleep:
      result.status = system_.sleep();
      break;
    case Kind::resume:
      result.status = system_.wake();
      break;
    case Kind::vendor: {
      kernel::IoResult io = reader_->ioctl(step.code, step.data, step.output);
      result.status = io.status;
      result.bytes = io.output;
      result.detail = format_hex(io.output);
      break;
    }
    default:
      break;
    }
    return result;
  }

  Result load(const std::string &build) {
    Result result;
    result.status = system_.load(build);
    if (NT_SUCCESS(*result.status)) {
      loaded_ = build;
      result.detail = "service TALVOR" + build;
    } else {
      result.detail = system_.last_error();
    }
    return result;
  }

  Result plug(const Step &step) {
    Result result;
    if (reader_ != nullptr) {
      result.failure = "a reader is plugged already";
      return result;
    }
    if (loaded_.empty()) {
      Result loaded = load(options_.build);
      if (!NT_SUCCESS(*loaded.status)) {
        result.failure = loaded.detail;
        return result;
      }
    }
    NTSTATUS status = STATUS_UNSUCCESSFUL;
    reader_ = system_.plug(loaded_, *reader::reader_profile(step.name), wrap_,
                           &status);
    if (reader_ == nullptr) {
      result.failure = system_.last_error();
      return result;
    }
    result.status = status;
    result.detail = reader_->started() ? "TALVOR" + loaded_ + " started it"
                                       : system_.last_error();
    return result;
  }

  Result insert(const Step &step) {
    Result result;
    if (reader_ == nullptr) {
      result.failure = "no reader is plugged";
      return result;
    }
    if (reader_->firmware().card_present()) {
      result.failure = "the slot holds a card already";
      return result;
    }
    const card::ReadyCard which = *card::find_card(step.name);
    std::unique_ptr<card::Card> card;
    if (listener_ != nullptr) {
      card = bridged(which, result.failure);
      if (!card)
        return result;
      result.detail = "card in, bridged to the virtual card";
    } else {
      card = make_card(which, options_.seed);
      result.detail = "card in";
    }
    reader_->insert(std::move(card));
    await_tracking(true, result);
    return result;
  }

  std::unique_ptr<card::Card> bridged(card::ReadyCard which,
                                      std::string &failure) {
    out_ << "waiting up to " << kViccWait.count() / 1000
         << " s for a virtual card on 127.0.0.1:" << listener_->port()
         << std::endl;
    std::string error;
    auto connection =
        listener_->accept(kViccWait, std::chrono::seconds(5), &error);
    if (!connection) {
      failure = "no virtual card connected: " + error;
      return nullptr;
    }
    kernel::Kernel &kernel = kernel_;
    auto card = card::make_bridged_card(
        std::move(*connection), card::ready_profile(which),
        [&kernel] {
          return card::Time{static_cast<std::int64_t>(kernel.now() * 100)};
        },
        &error);
    if (!card) {
      failure = "the virtual card is not usable: " + error;
      return nullptr;
    }
    return std::make_unique<card::Card>(std::move(*card));
  }

  void power(const Step &step, Result &result) {
    host::Answer answer = reader_->power(step.code);
    result.status = answer.status;
    result.bytes = answer.bytes;
    if (!answer.ok())
      return;
    protocol_ = 0; // a reset or power-down leaves no protocol selected
    if (step.code == SCARD_POWER_DOWN)
      return;
    result.detail = "ATR " + format_hex(answer.bytes);
    result.more = describe_atr(decode_atr(answer.bytes));
  }

  void protocol(const Step &step, Result &result) {
    host::Answer answer = reader_->set_protocol(step.code);
    result.status = answer.status;
    if (!answer.ok() || answer.bytes.size() != sizeof(ULONG))
      return;
    ULONG chosen = 0;
    std::memcpy(&chosen, answer.bytes.data(), sizeof chosen);
    protocol_ = chosen;
    result.detail = protocol_name(chosen);
  }

  void apdu(const Step &step, Result &result) {
    // Without a protocol negotiated the request names T=1, and the library
    // answers as it would an application that did the same.
    host::Answer answer = reader_->transmit(
        protocol_ != 0 ? protocol_ : SCARD_PROTOCOL_T1, step.data);
    result.status = answer.status;
    result.bytes = answer.bytes;
    if (!answer.ok())
      return;
    result.detail = format_hex(answer.bytes);
    if (answer.bytes.size() >= 2) {
      const std::string meaning = status_word_text(
          answer.bytes[answer.bytes.size() - 2], answer.bytes.back());
      if (!meaning.empty())
        result.detail += " (" + meaning + ")";
    }
  }

  void track(const Step &step, Result &result) {
    const bool present = step.code == 1;
    kernel::Request request = reader_->track(present);
    const bool agrees = reader_->firmware().card_present() == present;
    NTSTATUS status = request.wait(agrees ? kEventGrace : kTrackGrace);
    result.status = status;
    if (status == STATUS_PENDING) {
      tracking_ = request;
      tracking_present_ = present;
      result.detail = present ? "waits for a card" : "waits for the removal";
    } else if (NT_SUCCESS(status)) {
      result.detail = present ? "card present" : "card absent";
    }
  }

  // After an insertion or removal: the pending tracking request for that
  // event must end, and with success.
  void await_tracking(bool present, Result &result) {
    if (!tracking_ || tracking_present_ != present)
      return;
    result.awaited_tracking = true;
    const NTSTATUS status = tracking_->wait(kEventGrace);
    if (status == STATUS_PENDING)
      return;
    result.tracking = status;
    result.detail += "; tracking saw it: " + status_text(status);
    tracking_.reset();
  }

  // A tracking request that ends for another reason (the handle closed, the
  // reader gone, a resume) is shown as it ends.
  void follow_tracking() {
    if (!tracking_ || tracking_->pending())
      return;
    out_ << "    tracking request ended: " << status_text(tracking_->status())
         << std::endl;
    tracking_.reset();
  }

  void print(const Step &step, const Result &result) {
    std::string line = step.text;
    line.resize(std::max(line.size() + 1, kTextColumn), ' ');
    if (!result.failure.empty())
      line += "failed: " + result.failure;
    else if (result.status)
      line += status_text(*result.status);
    else
      line += "done";
    if (result.failure.empty() && !result.detail.empty())
      line += (result.status ? "  " : ": ") + result.detail;
    out_ << line << '\n';
    for (const auto &more : result.more)
      out_ << "    " << more << '\n';
    out_ << std::flush;
  }

  // Why the result is not what the step expects; empty when it is.
  static std::string unexpected(const Step &step, const Result &result) {
    if (!result.failure.empty())
      return result.failure;
    if (result.status) {
      const NTSTATUS got = *result.status;
      bool fits = step.expect_status ? got == *step.expect_status
                                     : got == STATUS_SUCCESS;
      if (!step.expect_status && step.kind == Step::Kind::track)
        fits = fits || got == STATUS_PENDING;
      if (!fits)
        return "expected " +
               status_text(step.expect_status.value_or(STATUS_SUCCESS)) +
               ", got " + status_text(got);
    }
    if (step.expect_bytes && !step.expect_bytes->matches(result.bytes))
      return "expected " + step.expect_bytes->text() + ", got " +
             (result.bytes.empty() ? "nothing" : format_hex(result.bytes));
    if (result.awaited_tracking && !result.tracking)
      return "the pending tracking request did not end within " +
             std::to_string(kEventGrace.count() / 1000) + " ms";
    if (result.tracking && *result.tracking != STATUS_SUCCESS)
      return "the tracking request ended with " + status_text(*result.tracking);
    return {};
  }

  kernel::Kernel &kernel_;
  const SessionOptions &options_;
  std::ostream &out_;
  std::ostream &err_;
  card::VpcdListener *listener_;
  host::DeviceWrap wrap_;
  host::System system_;
  host::Reader *reader_ = nullptr;
  std::string loaded_;
  ULONG protocol_ = 0;
  std::optional<kernel::Request> tracking_;
  bool tracking_present_ = false;
};

} // namespace

int run_session(const SessionOptions &options, const std::vector<Step> &steps,
                std::ostream &out, std::ostream &err) {
  std::optional<card::VpcdListener> listener;
  if (options.vicc_port) {
    std::string error;
    listener = card::VpcdListener::open(*options.vicc_port, &error);
    if (!listener) {
      err << "talvor: cannot listen for a virtual card on 127.0.0.1:"
          << *options.vicc_port << ": " << error << std::endl;
      return kExitUsage;
    }
  }
  kernel::Options kernel_options;
  kernel_options.clock = options.clock;
  kernel_options.seed = options.seed;
  kernel_options.echo_trace = options.trace;
  kernel::Kernel kernel(kernel_options);
  kernel.verifier().set_echo(options.trace);

  int code = kExitOk;
  auto body = [&] {
    std::unique_ptr<usb::Capture> capture;
    host::DeviceWrap wrap;
    if (!options.pcap.empty()) {
      std::string error;
      capture = usb::Capture::open(kernel, options.pcap, &error);
      if (!capture) {
        err << "talvor: --pcap " << options.pcap << ": " << error << std::endl;
        code = kExitUsage;
        return;
      }
      wrap = [&capture](std::shared_ptr<usb::UsbDevice> device) {
        return capture->wrap(std::move(device));
      };
    }
    {
      // Every reader is off the bus before the capture closes.
      Runner runner(kernel, options, out, err, listener ? &*listener : nullptr,
                    wrap);
      if (!runner.run(steps))
        code = kExitUnexpected;
    }
    if (capture) {
      capture->close();
      if (!capture->error().empty()) {
        err << "talvor: --pcap " << options.pcap << ": " << capture->error()
            << std::endl;
        code = kExitUnexpected;
      }
    }
  };
  if (options.clock == kernel::Clock::Simulation) {
    kernel::RunResult run = kernel.run(body, "talvor");
    if (!run.ok()) {
      err << "talvor: the session "
          << (run.outcome == kernel::RunOutcome::Deadlock ? "deadlocked"
                                                          : "livelocked")
          << " (seed " << run.seed << ")\n"
          << run.report << std::flush;
      return kExitUnexpected;
    }
  } else {
    body();
    // A bus port thread that has deleted its PDO may still be leaving.
    for (int tries = 0;
         tries < 5000 && kernel.scheduler().live_system_threads() > 0; ++tries)
      std::this_thread::sleep_for(std::chrono::milliseconds(1));
  }
  kernel.check_teardown();
  const auto findings = kernel.verifier().take();
  for (const auto &finding : findings)
    err << "talvor: verifier: " << kernel::to_string(finding) << '\n';
  err << std::flush;
  if (!findings.empty() && code == kExitOk)
    code = kExitUnexpected;
  return code;
}

} // namespace talvor::cli
