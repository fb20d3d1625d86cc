#include "platform/kernel/pnp.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <initializer_list>
#include <iterator>
#include <string_view>

#include "platform/kernel/kernel.h"
#include "platform/kernel/scheduler.h"
#include "platform/kernel/text.h"
#include "platform/kernel/utf16.h"

namespace talvor::kernel {

namespace {

std::string seconds(std::uint64_t ticks) {
  return std::to_string(ticks / 10'000'000) + " s";
}

std::string device_text(const IoManager &io, PDEVICE_OBJECT device) {
  std::string name = io.name_of(device);
  return name.empty() ? "device " + format_address(device) : name;
}

// Where a finding about a driver's handling of an IRP points: its dispatch.
const void *dispatch_of(PDEVICE_OBJECT device, UCHAR major) {
  return reinterpret_cast<const void *>(
      device->DriverObject->MajorFunction[major]);
}

std::string irp_name(UCHAR major, UCHAR minor) {
  return major == IRP_MJ_POWER ? power_minor_name(minor)
                               : pnp_minor_name(minor);
}

// The states in which a device node takes queries.
constexpr std::initializer_list<DeviceNodeState> kQueryable = {
    DeviceNodeState::Added, DeviceNodeState::Started,
    DeviceNodeState::StopPending, DeviceNodeState::Stopped,
    DeviceNodeState::RemovePending};

struct Waiter {
  KEVENT done{};
  IO_STATUS_BLOCK result{};
  std::shared_ptr<void> keep_alive;
};

} // namespace

const char *to_string(DeviceNodeState state) {
  switch (state) {
  case DeviceNodeState::Added:
    return "added";
  case DeviceNodeState::Started:
    return "started";
  case DeviceNodeState::StopPending:
    return "stop pending";
  case DeviceNodeState::Stopped:
    return "stopped";
  case DeviceNodeState::RemovePending:
    return "remove pending";
  case DeviceNodeState::SurpriseRemoved:
    return "surprise removed";
  case DeviceNodeState::Removed:
    return "removed";
  }
  return "unknown";
}

std::string pnp_minor_name(UCHAR minor) {
  static const char *const names[] = {
      "IRP_MN_START_DEVICE",
      "IRP_MN_QUERY_REMOVE_DEVICE",
      "IRP_MN_REMOVE_DEVICE",
      "IRP_MN_CANCEL_REMOVE_DEVICE",
      "IRP_MN_STOP_DEVICE",
      "IRP_MN_QUERY_STOP_DEVICE",
      "IRP_MN_CANCEL_STOP_DEVICE",
      "IRP_MN_QUERY_DEVICE_RELATIONS",
      "IRP_MN_QUERY_INTERFACE",
      "IRP_MN_QUERY_CAPABILITIES",
      "IRP_MN_QUERY_RESOURCES",
      "IRP_MN_QUERY_RESOURCE_REQUIREMENTS",
      "IRP_MN_QUERY_DEVICE_TEXT",
      "IRP_MN_FILTER_RESOURCE_REQUIREMENTS",
      "IRP_MN_0x0E",
      "IRP_MN_READ_CONFIG",
      "IRP_MN_WRITE_CONFIG",
      "IRP_MN_EJECT",
      "IRP_MN_SET_LOCK",
      "IRP_MN_QUERY_ID",
      "IRP_MN_QUERY_PNP_DEVICE_STATE",
      "IRP_MN_QUERY_BUS_INFORMATION",
      "IRP_MN_DEVICE_USAGE_NOTIFICATION",
      "IRP_MN_SURPRISE_REMOVAL",
  };
  if (minor < std::size(names))
    return names[minor];
  char text[24];
  std::snprintf(text, sizeof text, "IRP_MN_0x%02X", minor);
  return text;
}

std::string status_text(NTSTATUS status) {
  return hex32(static_cast<ULONG>(status));
}

std::string power_minor_name(UCHAR minor) {
  switch (minor) {
  case IRP_MN_WAIT_WAKE:
    return "IRP_MN_WAIT_WAKE";
  case IRP_MN_POWER_SEQUENCE:
    return "IRP_MN_POWER_SEQUENCE";
  case IRP_MN_SET_POWER:
    return "IRP_MN_SET_POWER";
  case IRP_MN_QUERY_POWER:
    return "IRP_MN_QUERY_POWER";
  default: {
    char text[24];
    std::snprintf(text, sizeof text, "IRP_MN_0x%02X", minor);
    return text;
  }
  }
}

IrpReply call_and_wait(Kernel &kernel, PDEVICE_OBJECT device,
                       const std::function<void(IO_STACK_LOCATION &)> &fill,
                       std::uint64_t timeout, const void *site,
                       std::shared_ptr<void> keep_alive) {
  IrpReply reply;
  IoManager &io = kernel.io();
  if (device == nullptr || io.is_deleted(device)) {
    reply.status = STATUS_NO_SUCH_DEVICE;
    return reply;
  }
  PIRP irp = io.allocate_irp(device->StackSize, IrpOrigin::Platform, site);
  if (irp == nullptr) {
    reply.status = STATUS_INSUFFICIENT_RESOURCES;
    return reply;
  }
  irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
  irp->IoStatus.Information = 0;
  PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
  fill(*stack);
  const UCHAR major = stack->MajorFunction;
  const UCHAR minor = stack->MinorFunction;
  const void *dispatch = dispatch_of(device, major);
  std::string target = device_text(io, device);

  // Shared with the completion handler: a late completion after a time-out
  // still has its event, and the buffers the IRP points at, to write to.
  auto waiter = std::make_shared<Waiter>();
  waiter->keep_alive = std::move(keep_alive);
  KeInitializeEvent(&waiter->done, NotificationEvent, FALSE);
  io.set_final_completion(irp, [&io, waiter, site](PIRP finished) {
    waiter->result = finished->IoStatus;
    io.free_irp(finished, site);
    KeSetEvent(&waiter->done, IO_NO_INCREMENT, FALSE);
  });

  reply.returned = io.call_driver(device, irp, site);
  const bool synchronous = KeReadStateEvent(&waiter->done) != 0;
  LARGE_INTEGER limit;
  limit.QuadPart = -static_cast<LONGLONG>(timeout);
  if (KeWaitForSingleObject(&waiter->done, Executive, KernelMode, FALSE,
                            &limit) == STATUS_TIMEOUT) {
    kernel.verifier().report(FindingKind::IrpLeftPending,
                             irp_name(major, minor) + " sent to " + target +
                                 " not completed within " + seconds(timeout),
                             describe_routine(dispatch));
    reply.status = STATUS_IO_TIMEOUT;
    return reply;
  }
  reply.completed = true;
  reply.status = waiter->result.Status;
  reply.information = waiter->result.Information;

  if (reply.status == STATUS_MORE_PROCESSING_REQUIRED)
    kernel.verifier().report(FindingKind::IrpMisuse,
                             irp_name(major, minor) + " sent to " + target +
                                 " completed with "
                                 "STATUS_MORE_PROCESSING_REQUIRED",
                             describe_routine(dispatch));
  if (reply.returned != STATUS_PENDING) {
    if (!synchronous)
      kernel.verifier().report(
          FindingKind::IrpMisuse,
          "dispatch routine of " + target + " returned " +
              status_text(reply.returned) + " for " + irp_name(major, minor) +
              " it had not completed (STATUS_PENDING was due)",
          describe_routine(dispatch));
    else if (reply.returned != reply.status)
      kernel.verifier().report(
          FindingKind::IrpMisuse,
          "dispatch routine of " + target + " returned " +
              status_text(reply.returned) + " for " + irp_name(major, minor) +
              " but completed it with " + status_text(reply.status),
          describe_routine(dispatch));
  }
  return reply;
}

// ---------------------------------------------------------------------------

struct PnpManager::Node {
  PDEVICE_OBJECT pdo = nullptr;
  PDRIVER_OBJECT driver = nullptr;
  PDEVICE_OBJECT fdo = nullptr; // the function driver's, in `stack`
  DeviceNodeState state = DeviceNodeState::Added;
  std::uint64_t order = 0;
  // The device objects AddDevice attached above the PDO, bottom up. While
  // `holds_devices`, the node holds a reference on each and on the PDO, so
  // that their memory outlives IoDeleteDevice until the node lets go.
  std::vector<PDEVICE_OBJECT> stack;
  bool holds_devices = false;
  // PoSetPowerState's records for the PDO and each device in `stack`.
  std::map<PDEVICE_OBJECT, std::unique_ptr<DevicePowerRecord>> power;
  // Notification event: set at each last close while a removal waits.
  KEVENT last_close{};
};

PnpManager::PnpManager(Kernel &kernel) : kernel_(kernel) {
  KeInitializeEvent(&idle_, SynchronizationEvent, TRUE);
}

PnpManager::~PnpManager() {
  for (auto &[pdo, node] : nodes_)
    release_devices(*node);
}

PnpManager::Serialized::Serialized(PnpManager &manager) : manager_(manager) {
  KeWaitForSingleObject(&manager_.idle_, Executive, KernelMode, FALSE, nullptr);
}

PnpManager::Serialized::~Serialized() {
  KeSetEvent(&manager_.idle_, IO_NO_INCREMENT, FALSE);
}

void PnpManager::report(FindingKind kind, const std::string &message,
                        const void *routine) const {
  kernel_.verifier().report(kind, message, describe_routine(routine));
}

void PnpManager::register_function_driver(const std::string &id,
                                          PDRIVER_OBJECT driver) {
  if (driver == nullptr || id.empty())
    return;
  std::lock_guard guard(nodes_lock_);
  drivers_.emplace_back(upper_ascii(id), driver);
}

void PnpManager::unregister_function_driver(PDRIVER_OBJECT driver) {
  std::lock_guard guard(nodes_lock_);
  std::erase_if(drivers_,
                [driver](const auto &entry) { return entry.second == driver; });
}

NTSTATUS PnpManager::check_caller() const {
  Thread *thread = kernel_.scheduler().current_or_die("the PnP manager");
  return thread->irql == PASSIVE_LEVEL ? STATUS_SUCCESS
                                       : STATUS_INVALID_DEVICE_STATE;
}

NTSTATUS PnpManager::find(PDEVICE_OBJECT pdo,
                          std::initializer_list<DeviceNodeState> allowed,
                          Node **node) {
  std::lock_guard guard(nodes_lock_);
  auto found = nodes_.find(pdo);
  if (pdo == nullptr || found == nodes_.end() ||
      found->second->state == DeviceNodeState::Removed)
    return STATUS_NO_SUCH_DEVICE;
  if (std::find(allowed.begin(), allowed.end(), found->second->state) ==
      allowed.end())
    return STATUS_INVALID_DEVICE_STATE;
  *node = found->second.get();
  return STATUS_SUCCESS;
}

void PnpManager::set_state(Node &node, DeviceNodeState state) {
  std::lock_guard guard(nodes_lock_);
  node.state = state;
}

std::uint64_t
PnpManager::watch(PDEVICE_OBJECT device,
                  std::function<void(TargetDeviceChange)> callback) {
  std::lock_guard guard(watchers_lock_);
  std::uint64_t id = next_watch_++;
  watchers_[id] = {device, std::move(callback)};
  return id;
}

void PnpManager::unwatch(std::uint64_t watch) {
  std::lock_guard guard(watchers_lock_);
  watchers_.erase(watch);
}

void PnpManager::notify(const Node &node, TargetDeviceChange change) {
  std::vector<std::function<void(TargetDeviceChange)>> callbacks;
  {
    std::lock_guard guard(watchers_lock_);
    for (const auto &[id, watcher] : watchers_)
      if (watcher.first == node.pdo ||
          std::find(node.stack.begin(), node.stack.end(), watcher.first) !=
              node.stack.end())
        callbacks.push_back(watcher.second);
  }
  for (const auto &callback : callbacks)
    callback(change);
}

bool PnpManager::has_open_handles(const Node &node) const {
  for (const auto &[device, record] : node.power)
    if (std::atomic_ref<LONG>(device->ReferenceCount).load() > 0)
      return true;
  return false;
}

void PnpManager::set_remove_pending(Node &node, bool pending) {
  for (const auto &[device, record] : node.power)
    record->remove_pending = pending;
}

void PnpManager::wait_for_last_close(Node &node) {
  for (const auto &[device, record] : node.power)
    record->last_close = &node.last_close;
  // The count is the truth; the event only wakes this thread to look again.
  while (has_open_handles(node)) {
    KeWaitForSingleObject(&node.last_close, Executive, KernelMode, FALSE,
                          nullptr);
    KeClearEvent(&node.last_close);
  }
  for (const auto &[device, record] : node.power)
    record->last_close = nullptr;
}

void PnpManager::release_devices(Node &node) {
  if (!node.holds_devices)
    return;
  node.holds_devices = false;
  std::vector<PDEVICE_OBJECT> devices = node.stack;
  devices.push_back(node.pdo);
  for (PDEVICE_OBJECT device : devices) {
    set_power_record(device, nullptr);
    kernel_.io().dereference_device(device);
  }
}

IrpReply
PnpManager::send_pnp(Node &node, UCHAR minor,
                     const std::function<void(IO_STACK_LOCATION &)> &fill,
                     std::shared_ptr<void> keep_alive, const void *site) {
  return call_and_wait(
      kernel_, IoGetAttachedDevice(node.pdo),
      [&](IO_STACK_LOCATION &stack) {
        stack.MajorFunction = IRP_MJ_PNP;
        stack.MinorFunction = minor;
        if (fill)
          fill(stack);
      },
      irp_timeout_, site, std::move(keep_alive));
}

NTSTATUS PnpManager::send_required(Node &node, UCHAR minor, const void *site) {
  PDEVICE_OBJECT top = IoGetAttachedDevice(node.pdo);
  const void *dispatch = dispatch_of(top, IRP_MJ_PNP);
  std::string target = device_text(kernel_.io(), top);
  IrpReply reply = send_pnp(node, minor, {}, {}, site);
  if (reply.completed && !NT_SUCCESS(reply.status))
    report(FindingKind::IrpMisuse,
           pnp_minor_name(minor) + " failed with " + status_text(reply.status) +
               " in " + target + "; a driver may not fail it",
           dispatch);
  return reply.completed ? reply.status : STATUS_IO_TIMEOUT;
}

NTSTATUS PnpManager::send_start(Node &node, const void *site) {
  IrpReply reply = send_pnp(
      node, IRP_MN_START_DEVICE,
      [](IO_STACK_LOCATION &stack) {
        // A USB device has no hardware resources of its own.
        stack.Parameters.StartDevice.AllocatedResources = nullptr;
        stack.Parameters.StartDevice.AllocatedResourcesTranslated = nullptr;
      },
      {}, site);
  if (!reply.completed)
    return reply.status;
  if (NT_SUCCESS(reply.status)) {
    set_state(node, DeviceNodeState::Started);
    return reply.status;
  }
  // Windows removes a device whose start failed.
  send_remove(node, site);
  return reply.status;
}

NTSTATUS PnpManager::send_remove(Node &node, const void *site) {
  NTSTATUS status = send_required(node, IRP_MN_REMOVE_DEVICE, site);
  if (status == STATUS_IO_TIMEOUT)
    return status; // still in the driver's hands: nothing to check yet
  IoManager &io = kernel_.io();
  const void *add_routine =
      reinterpret_cast<const void *>(node.driver->DriverExtension->AddDevice);
  for (PDEVICE_OBJECT device : node.stack)
    if (!io.is_deleted(device))
      report(FindingKind::DeviceLeak,
             device_text(io, device) +
                 " was not deleted at IRP_MN_REMOVE_DEVICE",
             add_routine);
  if (node.pdo->AttachedDevice != nullptr)
    report(FindingKind::DeviceMisuse,
           device_text(io, node.pdo->AttachedDevice) +
               " is still attached to " + device_text(io, node.pdo) +
               " after IRP_MN_REMOVE_DEVICE",
           add_routine);
  set_state(node, DeviceNodeState::Removed);
  release_devices(node);
  return status;
}

PDRIVER_OBJECT PnpManager::find_driver(PDEVICE_OBJECT pdo, const void *site) {
  for (BUS_QUERY_ID_TYPE type : {BusQueryHardwareIDs, BusQueryCompatibleIDs}) {
    std::vector<std::string> ids;
    if (!NT_SUCCESS(read_ids(pdo, type, &ids, site)))
      continue;
    std::lock_guard guard(nodes_lock_);
    for (const std::string &id : ids)
      for (const auto &[known, driver] : drivers_)
        if (known == upper_ascii(id))
          return driver;
  }
  return nullptr;
}

NTSTATUS PnpManager::read_ids(PDEVICE_OBJECT pdo, BUS_QUERY_ID_TYPE type,
                              std::vector<std::string> *ids, const void *site) {
  PDEVICE_OBJECT top = IoGetAttachedDevice(pdo);
  const void *dispatch = dispatch_of(top, IRP_MJ_PNP);
  IrpReply reply = call_and_wait(
      kernel_, top,
      [type](IO_STACK_LOCATION &stack) {
        stack.MajorFunction = IRP_MJ_PNP;
        stack.MinorFunction = IRP_MN_QUERY_ID;
        stack.Parameters.QueryId.IdType = type;
      },
      irp_timeout_, site);
  if (!reply.completed || !NT_SUCCESS(reply.status) || reply.information == 0)
    return reply.status;

  // The answer is driver memory: read it only within its pool block.
  // Information carries a pointer for this request.
  auto *text = reinterpret_cast<void *>( // NOLINT(performance-no-int-to-ptr)
      reply.information);
  Pool &pool = kernel_.pool();
  std::optional<std::size_t> bytes = pool.size_of(text);
  if (!bytes) {
    report(FindingKind::IrpMisuse,
           "IRP_MN_QUERY_ID answered with " + format_address(text) +
               ", which is not a pool block",
           dispatch);
    return STATUS_INVALID_PARAMETER;
  }
  std::size_t units = *bytes / sizeof(char16_t);
  std::vector<char16_t> copy(units);
  std::memcpy(copy.data(), text, units * sizeof(char16_t));
  pool.free(text, std::nullopt, KeGetCurrentIrql(), site);

  const bool multi =
      type == BusQueryHardwareIDs || type == BusQueryCompatibleIDs;
  std::size_t at = 0;
  bool terminated = false;
  while (at < units) {
    std::size_t end = at;
    while (end < units && copy[end] != 0)
      ++end;
    if (end == units)
      break; // no terminator inside the block
    if (end == at && (multi || at > 0)) {
      terminated = true; // the empty string that ends a multi-string
      break;
    }
    ids->push_back(
        utf16_to_utf8(std::u16string_view(copy.data() + at, end - at)));
    at = end + 1;
    if (!multi) {
      terminated = true;
      break;
    }
  }
  if (!terminated) {
    // Keep what was readable; say where the text ran out.
    if (at < units)
      ids->push_back(
          utf16_to_utf8(std::u16string_view(copy.data() + at, units - at)));
    report(FindingKind::IrpMisuse,
           "IRP_MN_QUERY_ID text is not terminated within its " +
               std::to_string(*bytes) + "-byte pool block",
           dispatch);
  }
  return reply.status;
}

NTSTATUS PnpManager::call_add_device(Node &node, const void *site) {
  (void)site;
  PDRIVER_ADD_DEVICE add = node.driver->DriverExtension->AddDevice;
  const void *routine = reinterpret_cast<const void *>(add);
  NTSTATUS status = add(node.driver, node.pdo);
  if (KeGetCurrentIrql() != PASSIVE_LEVEL)
    report(FindingKind::IrqlMisuse,
           "AddDevice returned at IRQL " + std::to_string(KeGetCurrentIrql()),
           routine);
  IoManager &io = kernel_.io();
  if (!NT_SUCCESS(status)) {
    if (node.pdo->AttachedDevice != nullptr)
      report(FindingKind::DeviceLeak,
             "AddDevice failed with " + status_text(status) + " but left " +
                 device_text(io, node.pdo->AttachedDevice) + " attached to " +
                 device_text(io, node.pdo),
             routine);
    return status;
  }
  std::vector<PDEVICE_OBJECT> stack;
  for (PDEVICE_OBJECT device = node.pdo->AttachedDevice; device != nullptr;
       device = device->AttachedDevice)
    stack.push_back(device);
  if (stack.empty())
    report(FindingKind::DeviceMisuse,
           "AddDevice succeeded without attaching a device to " +
               device_text(io, node.pdo),
           routine);
  for (PDEVICE_OBJECT device : stack) {
    if (device->Flags & DO_DEVICE_INITIALIZING)
      report(FindingKind::DeviceMisuse,
             "AddDevice left DO_DEVICE_INITIALIZING set on " +
                 device_text(io, device),
             routine);
    io.reference_device(device);
    auto record = std::make_unique<DevicePowerRecord>();
    set_power_record(device, record.get());
    std::lock_guard guard(nodes_lock_);
    node.power[device] = std::move(record);
    node.stack.push_back(device);
    if (node.fdo == nullptr && device->DriverObject == node.driver)
      node.fdo = device;
  }
  return status;
}

NTSTATUS PnpManager::add_device(PDEVICE_OBJECT pdo, PDRIVER_OBJECT driver) {
  const void *site = __builtin_return_address(0);
  if (NTSTATUS status = check_caller(); !NT_SUCCESS(status))
    return status;
  Serialized serialized(*this);
  IoManager &io = kernel_.io();
  if (pdo == nullptr)
    return STATUS_INVALID_PARAMETER;
  if (io.is_deleted(pdo))
    return STATUS_NO_SUCH_DEVICE;
  {
    std::lock_guard guard(nodes_lock_);
    auto found = nodes_.find(pdo);
    if (found != nodes_.end() &&
        found->second->state != DeviceNodeState::Removed)
      return STATUS_INVALID_DEVICE_STATE;
  }
  if (pdo->AttachedDevice != nullptr)
    return STATUS_INVALID_DEVICE_STATE; // a stack sits on it already
  if (driver == nullptr)
    driver = find_driver(pdo, site);
  if (driver == nullptr)
    return STATUS_NOT_FOUND;
  if (driver->DriverExtension == nullptr ||
      driver->DriverExtension->AddDevice == nullptr)
    return STATUS_INVALID_DEVICE_REQUEST;

  auto owned = std::make_unique<Node>();
  Node &node = *owned;
  node.pdo = pdo;
  node.driver = driver;
  KeInitializeEvent(&node.last_close, NotificationEvent, FALSE);
  io.reference_device(pdo);
  node.holds_devices = true;
  auto record = std::make_unique<DevicePowerRecord>();
  set_power_record(pdo, record.get());
  node.power[pdo] = std::move(record);
  {
    std::lock_guard guard(nodes_lock_);
    node.order = next_order_++;
    nodes_[pdo] = std::move(owned); // replaces a removed node
  }
  pdo->Flags |= DO_BUS_ENUMERATED_DEVICE;

  NTSTATUS status = call_add_device(node, site);
  if (!NT_SUCCESS(status)) {
    release_devices(node);
    std::lock_guard guard(nodes_lock_);
    nodes_.erase(pdo);
    return status;
  }
  return send_start(node, site);
}

NTSTATUS PnpManager::on_node(PDEVICE_OBJECT pdo,
                             std::initializer_list<DeviceNodeState> allowed,
                             const std::function<NTSTATUS(Node &)> &request) {
  if (NTSTATUS status = check_caller(); !NT_SUCCESS(status))
    return status;
  Serialized serialized(*this);
  Node *node = nullptr;
  if (NTSTATUS status = find(pdo, allowed, &node); !NT_SUCCESS(status))
    return status;
  return request(*node);
}

NTSTATUS PnpManager::send_query(Node &node, UCHAR query, UCHAR cancel,
                                DeviceNodeState pending, const void *site) {
  IrpReply reply = send_pnp(node, query, {}, {}, site);
  if (!reply.completed)
    return reply.status;
  if (NT_SUCCESS(reply.status)) {
    set_state(node, pending);
    return reply.status;
  }
  // A refused query is cancelled down the whole stack.
  send_required(node, cancel, site);
  return reply.status;
}

NTSTATUS PnpManager::send_change(Node &node, UCHAR minor, DeviceNodeState next,
                                 const void *site) {
  NTSTATUS status = send_required(node, minor, site);
  if (status != STATUS_IO_TIMEOUT)
    set_state(node, next);
  return status;
}

NTSTATUS PnpManager::start(PDEVICE_OBJECT pdo) {
  const void *site = __builtin_return_address(0);
  return on_node(pdo, {DeviceNodeState::Stopped},
                 [&](Node &node) { return send_start(node, site); });
}

NTSTATUS PnpManager::query_stop(PDEVICE_OBJECT pdo) {
  const void *site = __builtin_return_address(0);
  return on_node(pdo, {DeviceNodeState::Started}, [&](Node &node) {
    return send_query(node, IRP_MN_QUERY_STOP_DEVICE, IRP_MN_CANCEL_STOP_DEVICE,
                      DeviceNodeState::StopPending, site);
  });
}

NTSTATUS PnpManager::cancel_stop(PDEVICE_OBJECT pdo) {
  const void *site = __builtin_return_address(0);
  return on_node(pdo, {DeviceNodeState::StopPending}, [&](Node &node) {
    return send_change(node, IRP_MN_CANCEL_STOP_DEVICE,
                       DeviceNodeState::Started, site);
  });
}

NTSTATUS PnpManager::stop(PDEVICE_OBJECT pdo) {
  const void *site = __builtin_return_address(0);
  return on_node(pdo, {DeviceNodeState::StopPending}, [&](Node &node) {
    return send_change(node, IRP_MN_STOP_DEVICE, DeviceNodeState::Stopped,
                       site);
  });
}

NTSTATUS PnpManager::query_remove(PDEVICE_OBJECT pdo) {
  const void *site = __builtin_return_address(0);
  return on_node(pdo, {DeviceNodeState::Started}, [&](Node &node) {
    // Applications hear of it first, and may close their handles.
    notify(node, TargetDeviceChange::QueryRemove);
    NTSTATUS status = send_query(node, IRP_MN_QUERY_REMOVE_DEVICE,
                                 IRP_MN_CANCEL_REMOVE_DEVICE,
                                 DeviceNodeState::RemovePending, site);
    if (status == STATUS_IO_TIMEOUT)
      return status;
    if (NT_SUCCESS(status)) {
      set_remove_pending(node, true);
      if (!has_open_handles(node))
        return status;
      // A handle still open vetoes the removal.
      set_remove_pending(node, false);
      status = send_change(node, IRP_MN_CANCEL_REMOVE_DEVICE,
                           DeviceNodeState::Started, site);
      if (status != STATUS_IO_TIMEOUT)
        status = kRemovalVetoed;
    }
    notify(node, TargetDeviceChange::RemoveCancelled);
    return status;
  });
}

NTSTATUS PnpManager::cancel_remove(PDEVICE_OBJECT pdo) {
  const void *site = __builtin_return_address(0);
  return on_node(pdo, {DeviceNodeState::RemovePending}, [&](Node &node) {
    set_remove_pending(node, false);
    NTSTATUS status = send_change(node, IRP_MN_CANCEL_REMOVE_DEVICE,
                                  DeviceNodeState::Started, site);
    notify(node, TargetDeviceChange::RemoveCancelled);
    return status;
  });
}

NTSTATUS PnpManager::surprise_remove(PDEVICE_OBJECT pdo) {
  const void *site = __builtin_return_address(0);
  return on_node(pdo,
                 {DeviceNodeState::Started, DeviceNodeState::StopPending,
                  DeviceNodeState::Stopped, DeviceNodeState::RemovePending},
                 [&](Node &node) {
                   set_remove_pending(node, true);
                   NTSTATUS status =
                       send_change(node, IRP_MN_SURPRISE_REMOVAL,
                                   DeviceNodeState::SurpriseRemoved, site);
                   // Applications close their handles on hearing it.
                   notify(node, TargetDeviceChange::RemoveComplete);
                   return status;
                 });
}

NTSTATUS PnpManager::remove(PDEVICE_OBJECT pdo) {
  const void *site = __builtin_return_address(0);
  return on_node(
      pdo, {DeviceNodeState::RemovePending, DeviceNodeState::SurpriseRemoved},
      [&](Node &node) {
        const bool surprised = node.state == DeviceNodeState::SurpriseRemoved;
        // As Windows does: the removal of a device gone by surprise waits
        // for its last handle, whose cleanup and close reach the driver.
        if (surprised)
          wait_for_last_close(node);
        NTSTATUS status = send_remove(node, site);
        if (!surprised && status != STATUS_IO_TIMEOUT)
          notify(node, TargetDeviceChange::RemoveComplete);
        return status;
      });
}

NTSTATUS PnpManager::query_capabilities(PDEVICE_OBJECT pdo,
                                        DEVICE_CAPABILITIES *capabilities) {
  const void *site = __builtin_return_address(0);
  if (capabilities == nullptr)
    return STATUS_INVALID_PARAMETER;
  return on_node(pdo, kQueryable, [&](Node &node) {
    // Preset as Windows presets it; the bus fills in the rest.
    auto answer = std::make_shared<DEVICE_CAPABILITIES>();
    std::memset(answer.get(), 0, sizeof *answer);
    answer->Size = sizeof(DEVICE_CAPABILITIES);
    answer->Version = 1;
    answer->Address = 0xFFFFFFFF;
    answer->UINumber = 0xFFFFFFFF;
    IrpReply reply = send_pnp(
        node, IRP_MN_QUERY_CAPABILITIES,
        [&](IO_STACK_LOCATION &stack) {
          stack.Parameters.DeviceCapabilities.Capabilities = answer.get();
        },
        answer, site);
    if (reply.completed && NT_SUCCESS(reply.status))
      *capabilities = *answer;
    return reply.status;
  });
}

NTSTATUS PnpManager::query_interface(PDEVICE_OBJECT pdo, const GUID &type,
                                     USHORT size, USHORT version,
                                     PINTERFACE result, PVOID specific_data) {
  const void *site = __builtin_return_address(0);
  if (result == nullptr || size < sizeof(INTERFACE))
    return STATUS_INVALID_PARAMETER;
  return on_node(pdo, kQueryable, [&](Node &node) {
    struct Buffers {
      GUID type;
      std::vector<unsigned char> interface;
    };
    auto buffers = std::make_shared<Buffers>(Buffers{type, {}});
    buffers->interface.assign(size, 0);
    IrpReply reply = send_pnp(
        node, IRP_MN_QUERY_INTERFACE,
        [&](IO_STACK_LOCATION &stack) {
          auto &query = stack.Parameters.QueryInterface;
          query.InterfaceType = &buffers->type;
          query.Size = size;
          query.Version = version;
          query.Interface =
              reinterpret_cast<PINTERFACE>(buffers->interface.data());
          query.InterfaceSpecificData = specific_data;
        },
        buffers, site);
    if (reply.completed && NT_SUCCESS(reply.status))
      std::memcpy(result, buffers->interface.data(), size);
    return reply.status;
  });
}

NTSTATUS PnpManager::query_pnp_device_state(PDEVICE_OBJECT pdo,
                                            ULONG_PTR *state) {
  const void *site = __builtin_return_address(0);
  if (state == nullptr)
    return STATUS_INVALID_PARAMETER;
  *state = 0;
  return on_node(pdo, kQueryable, [&](Node &node) {
    IrpReply reply =
        send_pnp(node, IRP_MN_QUERY_PNP_DEVICE_STATE, {}, {}, site);
    if (reply.completed && NT_SUCCESS(reply.status))
      *state = reply.information;
    return reply.status;
  });
}

NTSTATUS PnpManager::query_id(PDEVICE_OBJECT pdo, BUS_QUERY_ID_TYPE type,
                              std::vector<std::string> *ids) {
  const void *site = __builtin_return_address(0);
  if (ids == nullptr)
    return STATUS_INVALID_PARAMETER;
  ids->clear();
  return on_node(pdo, kQueryable, [&](Node &node) {
    return read_ids(node.pdo, type, ids, site);
  });
}

IrpReply
PnpManager::send(PDEVICE_OBJECT pdo, UCHAR minor,
                 const std::function<void(IO_STACK_LOCATION &)> &parameters) {
  const void *site = __builtin_return_address(0);
  IrpReply refused;
  switch (minor) {
  case IRP_MN_START_DEVICE:
  case IRP_MN_QUERY_REMOVE_DEVICE:
  case IRP_MN_REMOVE_DEVICE:
  case IRP_MN_CANCEL_REMOVE_DEVICE:
  case IRP_MN_STOP_DEVICE:
  case IRP_MN_QUERY_STOP_DEVICE:
  case IRP_MN_CANCEL_STOP_DEVICE:
  case IRP_MN_SURPRISE_REMOVAL:
  case IRP_MN_QUERY_INTERFACE:
  case IRP_MN_QUERY_CAPABILITIES:
  case IRP_MN_QUERY_ID:
  // These answer with pool structures the platform does not model.
  case IRP_MN_QUERY_DEVICE_RELATIONS:
  case IRP_MN_QUERY_RESOURCES:
  case IRP_MN_QUERY_RESOURCE_REQUIREMENTS:
  case IRP_MN_QUERY_DEVICE_TEXT:
  case IRP_MN_FILTER_RESOURCE_REQUIREMENTS:
  case IRP_MN_QUERY_BUS_INFORMATION:
    refused.status = STATUS_INVALID_PARAMETER_2;
    return refused;
  default:
    break;
  }
  IrpReply reply;
  reply.status = on_node(pdo, kQueryable, [&](Node &node) {
    reply = send_pnp(node, minor, parameters, {}, site);
    return reply.status;
  });
  return reply;
}

std::optional<DeviceNodeState> PnpManager::state(PDEVICE_OBJECT pdo) const {
  std::lock_guard guard(nodes_lock_);
  auto found = nodes_.find(pdo);
  if (found == nodes_.end())
    return std::nullopt;
  return found->second->state;
}

PDEVICE_OBJECT PnpManager::function_device(PDEVICE_OBJECT pdo) const {
  std::lock_guard guard(nodes_lock_);
  auto found = nodes_.find(pdo);
  return found == nodes_.end() ? nullptr : found->second->fdo;
}

std::vector<PDEVICE_OBJECT> PnpManager::powered_devices() const {
  std::lock_guard guard(nodes_lock_);
  std::vector<const Node *> powered;
  for (const auto &[pdo, node] : nodes_)
    if (node->state != DeviceNodeState::SurpriseRemoved &&
        node->state != DeviceNodeState::Removed)
      powered.push_back(node.get());
  std::sort(powered.begin(), powered.end(),
            [](const Node *a, const Node *b) { return a->order < b->order; });
  std::vector<PDEVICE_OBJECT> devices;
  devices.reserve(powered.size());
  std::transform(powered.begin(), powered.end(), std::back_inserter(devices),
                 [](const Node *node) { return node->pdo; });
  return devices;
}

std::optional<DEVICE_POWER_STATE>
PnpManager::device_power(PDEVICE_OBJECT device) const {
  std::lock_guard guard(nodes_lock_);
  for (const auto &[pdo, node] : nodes_)
    if (auto found = node->power.find(device); found != node->power.end())
      return static_cast<DEVICE_POWER_STATE>(found->second->device.load());
  return std::nullopt;
}

} // namespace talvor::kernel
