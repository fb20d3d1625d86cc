#include "platform/kernel/power.h"

#include <algorithm>
#include <optional>

#include "platform/kernel/irql.h"
#include "platform/kernel/kernel.h"
#include "platform/kernel/pnp.h"
#include "platform/kernel/scheduler.h"

namespace talvor::kernel {

namespace {

std::string state_name(SYSTEM_POWER_STATE state) {
  switch (state) {
  case PowerSystemWorking:
    return "S0";
  case PowerSystemSleeping1:
    return "S1";
  case PowerSystemSleeping2:
    return "S2";
  case PowerSystemSleeping3:
    return "S3";
  case PowerSystemHibernate:
    return "S4";
  case PowerSystemShutdown:
    return "S5";
  default:
    return "S?" + std::to_string(static_cast<int>(state));
  }
}

void report(FindingKind kind, const std::string &message, const void *site) {
  Kernel::get().verifier().report(kind, message, describe_code_address(site));
}

struct DeferredCall {
  PDEVICE_OBJECT device;
  PIRP irp;
  const void *site;
};

void NTAPI call_at_passive_level(PVOID context) {
  auto *call = static_cast<DeferredCall *>(context);
  IoManager &io = Kernel::get().io();
  io.call_driver(call->device, call->irp, call->site);
  io.dereference_device(call->device);
  delete call;
}

// Windows delivers power IRPs to a device that set DO_POWER_PAGABLE at
// PASSIVE_LEVEL: a call from a raised IRQL (a completion routine, a power
// callback) goes on in a kernel thread and the caller sees STATUS_PENDING.
NTSTATUS power_call(PDEVICE_OBJECT device, PIRP irp, const void *site) {
  Kernel &kernel = Kernel::get();
  IoManager &io = kernel.io();
  if (device == nullptr || io.is_deleted(device) ||
      KeGetCurrentIrql() == PASSIVE_LEVEL ||
      (device->Flags & DO_POWER_PAGABLE) == 0)
    return io.call_driver(device, irp, site);
  io.reference_device(device);
  kernel.scheduler().start_kernel_thread(call_at_passive_level,
                                         new DeferredCall{device, irp, site});
  return STATUS_PENDING;
}

} // namespace

DevicePowerRecord *power_record(PDEVICE_OBJECT device) {
  return static_cast<DevicePowerRecord *>(device->DeviceObjectExtension);
}

void set_power_record(PDEVICE_OBJECT device, DevicePowerRecord *record) {
  device->DeviceObjectExtension = record;
}

PowerManager::PowerManager(PnpManager &pnp) : pnp_(pnp) {}

NTSTATUS PowerManager::send_system(const std::vector<PDEVICE_OBJECT> &devices,
                                   UCHAR minor, SYSTEM_POWER_STATE state,
                                   POWER_ACTION action,
                                   std::vector<PDEVICE_OBJECT> *reached,
                                   const void *site) {
  Kernel &kernel = pnp_.kernel();
  NTSTATUS first_failure = STATUS_SUCCESS;
  for (PDEVICE_OBJECT pdo : devices) {
    PDEVICE_OBJECT top = IoGetAttachedDevice(pdo);
    const void *dispatch = reinterpret_cast<const void *>(
        top->DriverObject->MajorFunction[IRP_MJ_POWER]);
    IrpReply reply = call_and_wait(
        kernel, top,
        [&](IO_STACK_LOCATION &stack) {
          stack.MajorFunction = IRP_MJ_POWER;
          stack.MinorFunction = minor;
          stack.Parameters.Power.SystemContext = 0;
          stack.Parameters.Power.Type = SystemPowerState;
          stack.Parameters.Power.State.SystemState = state;
          stack.Parameters.Power.ShutdownType = action;
        },
        irp_timeout_, site);
    if (reached != nullptr)
      reached->push_back(pdo);
    NTSTATUS status = reply.completed ? reply.status : STATUS_IO_TIMEOUT;
    if (NT_SUCCESS(status))
      continue;
    if (NT_SUCCESS(first_failure))
      first_failure = status;
    if (minor == IRP_MN_QUERY_POWER)
      return status; // a refusal ends the sleep
    if (reply.completed)
      kernel.verifier().report(FindingKind::IrpMisuse,
                               "system IRP_MN_SET_POWER " + state_name(state) +
                                   " failed with " + status_text(status) +
                                   "; a driver may not fail it",
                               describe_routine(dispatch));
  }
  return first_failure;
}

NTSTATUS PowerManager::sleep(SYSTEM_POWER_STATE state) {
  const void *site = __builtin_return_address(0);
  if (state < PowerSystemSleeping1 || state > PowerSystemShutdown)
    return STATUS_INVALID_PARAMETER;
  if (NTSTATUS status = pnp_.check_caller(); !NT_SUCCESS(status))
    return status;
  PnpManager::Serialized serialized(pnp_);
  if (system_state() != PowerSystemWorking)
    return STATUS_INVALID_DEVICE_STATE;
  POWER_ACTION action = state == PowerSystemHibernate  ? PowerActionHibernate
                        : state == PowerSystemShutdown ? PowerActionShutdown
                                                       : PowerActionSleep;
  // The device added last goes to sleep first and wakes last.
  std::vector<PDEVICE_OBJECT> devices = pnp_.powered_devices();
  std::reverse(devices.begin(), devices.end());
  std::vector<PDEVICE_OBJECT> queried;
  NTSTATUS refusal =
      send_system(devices, IRP_MN_QUERY_POWER, state, action, &queried, site);
  if (!NT_SUCCESS(refusal)) {
    send_system(queried, IRP_MN_SET_POWER, PowerSystemWorking, PowerActionNone,
                nullptr, site);
    return refusal;
  }
  system_state_ = state;
  send_system(devices, IRP_MN_SET_POWER, state, action, nullptr, site);
  return STATUS_SUCCESS;
}

NTSTATUS PowerManager::wake() {
  const void *site = __builtin_return_address(0);
  if (NTSTATUS status = pnp_.check_caller(); !NT_SUCCESS(status))
    return status;
  PnpManager::Serialized serialized(pnp_);
  if (system_state() == PowerSystemWorking)
    return STATUS_INVALID_DEVICE_STATE;
  system_state_ = PowerSystemWorking;
  send_system(pnp_.powered_devices(), IRP_MN_SET_POWER, PowerSystemWorking,
              PowerActionNone, nullptr, site);
  return STATUS_SUCCESS;
}

} // namespace talvor::kernel

using talvor::kernel::FindingKind;
using talvor::kernel::IoManager;
using talvor::kernel::IrpOrigin;
using talvor::kernel::IrpState;
using talvor::kernel::Kernel;

extern "C" {

NTSTATUS PoCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  const void *site = __builtin_return_address(0);
  talvor::kernel::check_irql(talvor::kernel::irql_rule("PoCallDriver"), site);
  IoManager &io = Kernel::get().io();
  // An unknown IRP, or one without a location left, is the I/O manager's
  // to report, without touching it.
  if (io.irp_state(Irp) && Irp->CurrentLocation > 1 &&
      IoGetNextIrpStackLocation(Irp)->MajorFunction != IRP_MJ_POWER)
    talvor::kernel::report(FindingKind::IrpMisuse,
                           "PoCallDriver with an IRP that is not IRP_MJ_POWER",
                           site);
  return talvor::kernel::power_call(DeviceObject, Irp, site);
}

void PoStartNextPowerIrp(PIRP Irp) {
  const void *site = __builtin_return_address(0);
  talvor::kernel::check_irql(talvor::kernel::irql_rule("PoStartNextPowerIrp"),
                             site);
  std::optional<IrpState> state = Kernel::get().io().irp_state(Irp);
  if (!state)
    talvor::kernel::report(FindingKind::IrpMisuse,
                           "PoStartNextPowerIrp with an unknown IRP", site);
  // Only a driver that holds the IRP has a current stack location.
  else if (*state == IrpState::InFlight &&
           IoGetCurrentIrpStackLocation(Irp)->MajorFunction != IRP_MJ_POWER)
    talvor::kernel::report(FindingKind::IrpMisuse,
                           "PoStartNextPowerIrp with an IRP that is not "
                           "IRP_MJ_POWER",
                           site);
}

NTSTATUS PoRequestPowerIrp(PDEVICE_OBJECT DeviceObject, UCHAR MinorFunction,
                           POWER_STATE PowerState,
                           PREQUEST_POWER_COMPLETE CompletionFunction,
                           PVOID Context, PIRP *Irp) {
  const void *site = __builtin_return_address(0);
  talvor::kernel::check_irql(talvor::kernel::irql_rule("PoRequestPowerIrp"),
                             site);
  IoManager &io = Kernel::get().io();
  if (Irp != nullptr)
    *Irp = nullptr;
  if (DeviceObject == nullptr || io.is_deleted(DeviceObject))
    return STATUS_INVALID_PARAMETER_1;
  switch (MinorFunction) {
  case IRP_MN_SET_POWER:
  case IRP_MN_QUERY_POWER:
    if (PowerState.DeviceState < PowerDeviceD0 ||
        PowerState.DeviceState > PowerDeviceD3)
      return STATUS_INVALID_PARAMETER_3;
    break;
  case IRP_MN_WAIT_WAKE:
    if (PowerState.SystemState < PowerSystemWorking ||
        PowerState.SystemState > PowerSystemShutdown)
      return STATUS_INVALID_PARAMETER_3;
    break;
  default:
    return STATUS_INVALID_PARAMETER_2;
  }
  if (KeGetCurrentIrql() > DISPATCH_LEVEL)
    talvor::kernel::report(FindingKind::IrqlMisuse,
                           "PoRequestPowerIrp at IRQL " +
                               std::to_string(KeGetCurrentIrql()),
                           site);

  // The request enters the device's stack at the top.
  PDEVICE_OBJECT top = IoGetAttachedDevice(DeviceObject);
  PIRP irp = io.allocate_irp(top->StackSize, IrpOrigin::Platform, site);
  if (irp == nullptr)
    return STATUS_INSUFFICIENT_RESOURCES;
  irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
  PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
  stack->MajorFunction = IRP_MJ_POWER;
  stack->MinorFunction = MinorFunction;
  if (MinorFunction == IRP_MN_WAIT_WAKE) {
    stack->Parameters.WaitWake.PowerState = PowerState.SystemState;
  } else {
    stack->Parameters.Power.SystemContext = 0;
    stack->Parameters.Power.Type = DevicePowerState;
    stack->Parameters.Power.State = PowerState;
    stack->Parameters.Power.ShutdownType = PowerActionNone;
  }
  io.set_final_completion(irp, [&io, DeviceObject, MinorFunction, PowerState,
                                CompletionFunction, Context,
                                site](PIRP finished) {
    if (CompletionFunction != nullptr)
      CompletionFunction(DeviceObject, MinorFunction, PowerState, Context,
                         &finished->IoStatus);
    io.free_irp(finished, site);
  });
  // Known before the stack sees it, so that the requester's own dispatch
  // and completion routines can tell their request, and cancel it.
  if (Irp != nullptr)
    *Irp = irp;
  talvor::kernel::power_call(top, irp, site);
  return STATUS_PENDING;
}

POWER_STATE PoSetPowerState(PDEVICE_OBJECT DeviceObject, POWER_STATE_TYPE Type,
                            POWER_STATE State) {
  const void *site = __builtin_return_address(0);
  talvor::kernel::check_irql(talvor::kernel::irql_rule("PoSetPowerState"),
                             site);
  POWER_STATE previous{};
  bool valid = Type == DevicePowerState
                   ? State.DeviceState >= PowerDeviceD0 &&
                         State.DeviceState <= PowerDeviceD3
                   : Type == SystemPowerState &&
                         State.SystemState >= PowerSystemWorking &&
                         State.SystemState <= PowerSystemShutdown;
  if (DeviceObject == nullptr || Kernel::get().io().is_deleted(DeviceObject) ||
      !valid) {
    talvor::kernel::report(FindingKind::DeviceMisuse,
                           "PoSetPowerState with an unknown device object or "
                           "an invalid state",
                           site);
    return previous;
  }
  // Devices outside a PnP stack have no record: they count as working.
  talvor::kernel::DevicePowerRecord *record =
      talvor::kernel::power_record(DeviceObject);
  if (Type == DevicePowerState)
    previous.DeviceState = static_cast<DEVICE_POWER_STATE>(
        record != nullptr ? record->device.exchange(State.DeviceState)
                          : PowerDeviceD0);
  else
    previous.SystemState = static_cast<SYSTEM_POWER_STATE>(
        record != nullptr ? record->system.exchange(State.SystemState)
                          : PowerSystemWorking);
  return previous;
}

} // extern "C"
