#include "platform/usb/fault.h"

#include <map>

#include "platform/kernel/kernel.h"

namespace talvor::usb {

namespace {

std::uint64_t now() {
  kernel::Kernel *kernel = kernel::Kernel::current();
  return kernel != nullptr ? kernel->now() : 0;
}

} // namespace

const char *to_string(Fault::Kind kind) {
  switch (kind) {
  case Fault::Kind::Stall:
    return "stall";
  case Fault::Kind::Status:
    return "status";
  case Fault::Kind::Delay:
    return "delay";
  case Fault::Kind::Silence:
    return "silence";
  case Fault::Kind::Disconnect:
    return "disconnect";
  }
  return "?";
}

bool TransferFilter::matches(const UsbTransfer &transfer) const {
  if (type && *type != transfer.type())
    return false;
  if (endpoint && *endpoint != transfer.endpoint())
    return false;
  if (request && (!transfer.setup() || transfer.setup()->request != *request))
    return false;
  return true;
}

// Shared with the completions in flight, which may outlive the injector.
struct FaultInjector::State {
  struct Rule {
    Fault fault;
    TransferFilter filter;
    std::uint64_t skip = 0;
    std::uint64_t times = 1; // 0: forever
    std::optional<std::uint64_t> nth;
    bool spent = false;
  };
  // state_lock guards every member below; no device or bus routine runs
  // while it is held.
  mutable std::mutex state_lock;
  std::vector<Rule> rules;
  std::vector<TransferRecord> log;
  // Transfers not yet answered, by the outer transfer's id: its log
  // sequence and the inner transfer passed on (null when swallowed).
  std::map<std::uint64_t, std::pair<std::uint64_t, TransferPtr>> held;
  UsbPort *port = nullptr;
  std::uint64_t next_inner = 1;

  TransferRecord *record(std::uint64_t sequence) {
    return sequence >= 1 && sequence <= log.size() ? &log[sequence - 1]
                                                   : nullptr;
  }
};

FaultInjector::FaultInjector(std::shared_ptr<UsbDevice> inner)
    : inner_(std::move(inner)), state_(std::make_shared<State>()) {}

FaultInjector::~FaultInjector() = default;

void FaultInjector::inject(Fault fault, TransferFilter filter,
                           std::uint64_t skip, std::uint64_t times) {
  std::lock_guard guard(state_->state_lock);
  state_->rules.push_back({fault, filter, skip, times, std::nullopt});
}

void FaultInjector::fail_nth(std::uint64_t n, Fault fault) {
  std::lock_guard guard(state_->state_lock);
  state_->rules.push_back({fault, {}, 0, 1, n});
}

void FaultInjector::disconnect_now() {
  UsbPort *port;
  {
    std::lock_guard guard(state_->state_lock);
    port = state_->port;
  }
  if (port != nullptr)
    port->disconnect();
}

void FaultInjector::clear() {
  std::lock_guard guard(state_->state_lock);
  state_->rules.clear();
}

std::vector<TransferRecord> FaultInjector::log() const {
  std::lock_guard guard(state_->state_lock);
  return state_->log;
}

std::uint64_t FaultInjector::transfers() const {
  std::lock_guard guard(state_->state_lock);
  return state_->log.size();
}

const UsbDescriptors &FaultInjector::descriptors() const {
  return inner_->descriptors();
}

Speed FaultInjector::speed() const {
  return inner_->speed();
}

void FaultInjector::attached(UsbPort &port) {
  {
    std::lock_guard guard(state_->state_lock);
    state_->port = &port;
  }
  inner_->attached(port);
}

void FaultInjector::detached() {
  {
    std::lock_guard guard(state_->state_lock);
    state_->port = nullptr;
  }
  inner_->detached();
}

void FaultInjector::submit(const TransferPtr &transfer) {
  std::optional<Fault> fault;
  std::uint64_t sequence;
  UsbPort *port;
  TransferPtr inner;
  {
    std::lock_guard guard(state_->state_lock);
    TransferRecord record;
    record.sequence = sequence = state_->log.size() + 1;
    record.submitted = now();
    record.type = transfer->type();
    record.endpoint = transfer->endpoint();
    record.in = transfer->in();
    record.setup = transfer->setup();
    record.length = transfer->length();
    record.data = transfer->out();
    for (auto &rule : state_->rules) {
      if (rule.spent)
        continue;
      if (rule.nth) {
        if (*rule.nth != sequence)
          continue;
        rule.spent = true;
      } else {
        if (!rule.filter.matches(*transfer))
          continue;
        if (rule.skip > 0) {
          --rule.skip;
          continue;
        }
        if (rule.times != 0 && --rule.times == 0)
          rule.spent = true;
      }
      fault = rule.fault;
      break;
    }
    if (fault && fault->kind == Fault::Kind::Disconnect) {
      record.status = USBD_STATUS_DEVICE_GONE;
      record.finished = record.submitted;
      record.outcome = TransferRecord::Outcome::Completed;
    }
    record.fault = fault ? std::optional(fault->kind) : std::nullopt;
    state_->log.push_back(std::move(record));
    port = state_->port;
    if (!fault || fault->kind == Fault::Kind::Delay) {
      std::uint64_t extra = fault ? fault->delay : 0;
      std::weak_ptr<UsbTransfer> outer = transfer;
      std::weak_ptr<State> state = state_;
      std::uint64_t id = transfer->id();
      inner = std::make_shared<UsbTransfer>(
          state_->next_inner++, transfer->request(),
          [outer, state, sequence, id, extra](TransferResult result,
                                              std::uint64_t delay) {
            auto shared = state.lock();
            auto target = outer.lock();
            USBD_STATUS status = result.status;
            Bytes data = result.data;
            bool accepted =
                target && target->complete(std::move(result), delay + extra);
            if (!shared)
              return;
            std::lock_guard guard(shared->state_lock);
            shared->held.erase(id);
            if (TransferRecord *record = shared->record(sequence)) {
              record->status = accepted ? status : USBD_STATUS_CANCELED;
              record->finished = now() + (accepted ? delay + extra : 0);
              record->outcome = accepted ? TransferRecord::Outcome::Completed
                                         : TransferRecord::Outcome::Cancelled;
              if (record->in && accepted)
                record->data = std::move(data);
            }
          });
      state_->held[id] = {sequence, inner};
    } else if (fault->kind == Fault::Kind::Silence) {
      state_->held[transfer->id()] = {sequence, nullptr};
    }
  }

  if (!fault || fault->kind == Fault::Kind::Delay) {
    inner_->submit(inner);
    return;
  }
  switch (fault->kind) {
  case Fault::Kind::Stall:
  case Fault::Kind::Status: {
    USBD_STATUS status = fault->kind == Fault::Kind::Stall
                             ? USBD_STATUS_STALL_PID
                             : fault->status;
    {
      std::lock_guard guard(state_->state_lock);
      if (TransferRecord *record = state_->record(sequence)) {
        record->status = status;
        record->finished = now();
        record->outcome = TransferRecord::Outcome::Completed;
      }
    }
    transfer->complete(TransferResult::error(status));
    break;
  }
  case Fault::Kind::Disconnect:
    if (port != nullptr)
      port->disconnect();
    break;
  default:
    break; // silence: held until the host gives up
  }
}

void FaultInjector::cancelled(const TransferPtr &transfer) {
  TransferPtr inner;
  {
    std::lock_guard guard(state_->state_lock);
    auto found = state_->held.find(transfer->id());
    if (found == state_->held.end())
      return;
    if (TransferRecord *record = state_->record(found->second.first)) {
      record->status = USBD_STATUS_CANCELED;
      record->finished = now();
      record->outcome = TransferRecord::Outcome::Cancelled;
    }
    inner = found->second.second;
    state_->held.erase(found);
  }
  if (inner && inner->abort())
    inner_->cancelled(inner);
}

} // namespace talvor::usb
