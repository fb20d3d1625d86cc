#include "tests/kernel/driver/pnp_driver.h"

namespace {

PNP_TEST_OPTIONS Options;
ULONG UnloadCount;
PNP_TEST_FILES Files;

PPNP_TEST_EXTENSION ExtensionOf(PDEVICE_OBJECT DeviceObject) {
  return static_cast<PPNP_TEST_EXTENSION>(DeviceObject->DeviceExtension);
}

NTSTATUS CompleteRequest(PIRP Irp, NTSTATUS Status) {
  Irp->IoStatus.Status = Status;
  IoCompleteRequest(Irp, IO_NO_INCREMENT);
  return Status;
}

NTSTATUS PassDown(PPNP_TEST_EXTENSION Extension, PIRP Irp) {
  IoSkipCurrentIrpStackLocation(Irp);
  return IoCallDriver(Extension->Lower, Irp);
}

NTSTATUS PowerPassDown(PPNP_TEST_EXTENSION Extension, PIRP Irp) {
  PoStartNextPowerIrp(Irp);
  IoSkipCurrentIrpStackLocation(Irp);
  return PoCallDriver(Extension->Lower, Irp);
}

// Completion routine of the synchronous forward: the IRP comes back to the
// routine that waits for it.
NTSTATUS SignalCompletion(PDEVICE_OBJECT DeviceObject, PIRP Irp,
                          PVOID Context) {
  UNREFERENCED_PARAMETER(DeviceObject);
  UNREFERENCED_PARAMETER(Irp);
  KeSetEvent(static_cast<PKEVENT>(Context), IO_NO_INCREMENT, FALSE);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

// Passes the IRP down and waits until the lower drivers are done with it;
// the caller owns it again and completes it.
NTSTATUS ForwardAndWait(PPNP_TEST_EXTENSION Extension, PIRP Irp) {
  KEVENT done;
  KeInitializeEvent(&done, NotificationEvent, FALSE);
  IoCopyCurrentIrpStackLocationToNext(Irp);
  IoSetCompletionRoutine(Irp, SignalCompletion, &done, TRUE, TRUE, TRUE);
  NTSTATUS status = IoCallDriver(Extension->Lower, Irp);
  if (status == STATUS_PENDING) {
    KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
    status = Irp->IoStatus.Status;
  }
  return status;
}

// What the bus says the device can do: its sleep states and wake.
NTSTATUS QueryCapabilities(PPNP_TEST_EXTENSION Extension) {
  PDEVICE_CAPABILITIES capabilities = &Extension->Capabilities;
  RtlZeroMemory(capabilities, sizeof *capabilities);
  capabilities->Size = sizeof *capabilities;
  capabilities->Version = 1;
  capabilities->Address = 0xFFFFFFFF;
  capabilities->UINumber = 0xFFFFFFFF;
  PIRP irp = IoAllocateIrp(Extension->Lower->StackSize, FALSE);
  if (irp == nullptr)
    return STATUS_INSUFFICIENT_RESOURCES;
  irp->IoStatus.Status = STATUS_NOT_SUPPORTED;
  PIO_STACK_LOCATION stack = IoGetNextIrpStackLocation(irp);
  stack->MajorFunction = IRP_MJ_PNP;
  stack->MinorFunction = IRP_MN_QUERY_CAPABILITIES;
  stack->Parameters.DeviceCapabilities.Capabilities = capabilities;
  KEVENT done;
  KeInitializeEvent(&done, NotificationEvent, FALSE);
  IoSetCompletionRoutine(irp, SignalCompletion, &done, TRUE, TRUE, TRUE);
  NTSTATUS status = IoCallDriver(Extension->Lower, irp);
  if (status == STATUS_PENDING) {
    KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, nullptr);
    status = irp->IoStatus.Status;
  }
  IoFreeIrp(irp);
  if (!NT_SUCCESS(status))
    RtlZeroMemory(capabilities, sizeof *capabilities);
  return status;
}

// ---------------------------------------------------------------------------
// Wait-wake

void WaitWakeCallback(PDEVICE_OBJECT DeviceObject, UCHAR MinorFunction,
                      POWER_STATE PowerState, PVOID Context,
                      PIO_STATUS_BLOCK IoStatus) {
  UNREFERENCED_PARAMETER(DeviceObject);
  UNREFERENCED_PARAMETER(MinorFunction);
  UNREFERENCED_PARAMETER(PowerState);
  PPNP_TEST_EXTENSION extension = static_cast<PPNP_TEST_EXTENSION>(Context);
  extension->WakeCallbacks++;
  extension->WakeStatus = IoStatus->Status;
  if (NT_SUCCESS(IoStatus->Status) && extension->DevicePower != PowerDeviceD0) {
    // The device woke the system: power it up.
    POWER_STATE state;
    state.DeviceState = PowerDeviceD0;
    extension->DeviceRequests++;
    PoRequestPowerIrp(extension->Pdo, IRP_MN_SET_POWER, state, nullptr, nullptr,
                      nullptr);
  }
}

NTSTATUS WaitWakeCompletion(PDEVICE_OBJECT DeviceObject, PIRP Irp,
                            PVOID Context) {
  UNREFERENCED_PARAMETER(DeviceObject);
  PPNP_TEST_EXTENSION extension = static_cast<PPNP_TEST_EXTENSION>(Context);
  if (Irp->PendingReturned)
    IoMarkIrpPending(Irp);
  if (InterlockedExchangePointer(
          reinterpret_cast<PVOID volatile *>(&extension->WaitWakeIrp),
          nullptr) != nullptr)
    return STATUS_SUCCESS; // no cancel took it
  if (InterlockedExchange(&extension->WaitWakeCancelled, 1) != 0)
    return STATUS_SUCCESS;                // the cancel path is done with it
  return STATUS_MORE_PROCESSING_REQUIRED; // the cancel path completes it
}

// ---------------------------------------------------------------------------
// Power

void SystemPowerCallback(PDEVICE_OBJECT DeviceObject, UCHAR MinorFunction,
                         POWER_STATE PowerState, PVOID Context,
                         PIO_STATUS_BLOCK IoStatus) {
  UNREFERENCED_PARAMETER(DeviceObject);
  UNREFERENCED_PARAMETER(MinorFunction);
  UNREFERENCED_PARAMETER(PowerState);
  UNREFERENCED_PARAMETER(IoStatus);
  PPNP_TEST_EXTENSION extension = static_cast<PPNP_TEST_EXTENSION>(Context);
  extension->DeviceCompletions++;
  if (Options.BugHoldSystemIrp)
    return;
  PIRP irp = extension->SystemPowerIrp;
  extension->SystemPowerIrp = nullptr;
  if (irp == nullptr)
    return;
  PoStartNextPowerIrp(irp);
  IoCopyCurrentIrpStackLocationToNext(irp);
  PoCallDriver(extension->Lower, irp);
}

NTSTATUS PowerUpCompletion(PDEVICE_OBJECT DeviceObject, PIRP Irp,
                           PVOID Context) {
  UNREFERENCED_PARAMETER(DeviceObject);
  PPNP_TEST_EXTENSION extension = static_cast<PPNP_TEST_EXTENSION>(Context);
  if (Irp->PendingReturned)
    IoMarkIrpPending(Irp);
  if (NT_SUCCESS(Irp->IoStatus.Status)) {
    POWER_STATE state;
    state.DeviceState = PowerDeviceD0;
    extension->DevicePower = PowerDeviceD0;
    PoSetPowerState(extension->Self, DevicePowerState, state);
  }
  return STATUS_SUCCESS;
}

// The policy owner's part of a system set-power: request the device state
// that goes with it and hold the system request until that is done.
NTSTATUS SystemSetPower(PPNP_TEST_EXTENSION Extension, PIRP Irp) {
  SYSTEM_POWER_STATE system =
      IoGetCurrentIrpStackLocation(Irp)->Parameters.Power.State.SystemState;
  if (Options.BugFailSystemSetPower) {
    PoStartNextPowerIrp(Irp);
    return CompleteRequest(Irp, STATUS_UNSUCCESSFUL);
  }
  POWER_STATE device;
  if (system == PowerSystemWorking)
    device.DeviceState = PowerDeviceD0;
  else if (Options.WakeFromSleep && system < PowerSystemMaximum &&
           Extension->Capabilities.DeviceState[system] !=
               PowerDeviceUnspecified)
    device.DeviceState = Extension->Capabilities.DeviceState[system];
  else
    device.DeviceState = PowerDeviceD3;
  if (device.DeviceState == Extension->DevicePower)
    return PowerPassDown(Extension, Irp);

  IoMarkIrpPending(Irp);
  Extension->SystemPowerIrp = Irp;
  Extension->DeviceRequests++;
  NTSTATUS status = PoRequestPowerIrp(Extension->Pdo, IRP_MN_SET_POWER, device,
                                      SystemPowerCallback, Extension, nullptr);
  if (!NT_SUCCESS(status)) {
    // No device request: the system request goes on without it.
    Extension->SystemPowerIrp = nullptr;
    PoStartNextPowerIrp(Irp);
    IoCopyCurrentIrpStackLocationToNext(Irp);
    PoCallDriver(Extension->Lower, Irp);
  }
  return STATUS_PENDING;
}

NTSTATUS DeviceSetPower(PPNP_TEST_EXTENSION Extension, PIRP Irp) {
  POWER_STATE state = IoGetCurrentIrpStackLocation(Irp)->Parameters.Power.State;
  if (state.DeviceState == PowerDeviceD0) {
    // Up: the device is usable once the bus has powered it.
    IoCopyCurrentIrpStackLocationToNext(Irp);
    IoSetCompletionRoutine(Irp, PowerUpCompletion, Extension, TRUE, TRUE, TRUE);
    PoStartNextPowerIrp(Irp);
    return PoCallDriver(Extension->Lower, Irp);
  }
  // Down: stop using the device before the bus powers it off.
  Extension->DevicePower = state.DeviceState;
  PoSetPowerState(Extension->Self, DevicePowerState, state);
  return PowerPassDown(Extension, Irp);
}

// Pageable: the device set DO_POWER_PAGABLE.
NTSTATUS DispatchPower(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PAGED_CODE();
  PPNP_TEST_EXTENSION extension = ExtensionOf(DeviceObject);
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
  switch (stack->MinorFunction) {
  case IRP_MN_SET_POWER:
    if (stack->Parameters.Power.Type == SystemPowerState)
      return SystemSetPower(extension, Irp);
    return DeviceSetPower(extension, Irp);
  case IRP_MN_QUERY_POWER:
    if (stack->Parameters.Power.Type == SystemPowerState &&
        stack->Parameters.Power.State.SystemState > PowerSystemWorking) {
      if (!NT_SUCCESS(Options.QuerySleepStatus)) {
        PoStartNextPowerIrp(Irp);
        return CompleteRequest(Irp, Options.QuerySleepStatus);
      }
      if (Options.WakeFromSleep && extension->WaitWakeIrp == nullptr)
        PnpTestArmWake(DeviceObject);
    }
    Irp->IoStatus.Status = STATUS_SUCCESS;
    return PowerPassDown(extension, Irp);
  case IRP_MN_WAIT_WAKE:
    // Only a request of this driver's own gets the cancel hand-off.
    if (Irp == extension->WaitWakeIrp) {
      IoCopyCurrentIrpStackLocationToNext(Irp);
      IoSetCompletionRoutine(Irp, WaitWakeCompletion, extension, TRUE, TRUE,
                             TRUE);
      PoStartNextPowerIrp(Irp);
      return PoCallDriver(extension->Lower, Irp);
    }
    return PowerPassDown(extension, Irp);
  default:
    return PowerPassDown(extension, Irp);
  }
}

// ---------------------------------------------------------------------------
// Plug and Play

NTSTATUS StartDevice(PPNP_TEST_EXTENSION Extension, PIRP Irp) {
  NTSTATUS status = ForwardAndWait(Extension, Irp);
  if (NT_SUCCESS(status)) {
    QueryCapabilities(Extension);
    if (!NT_SUCCESS(Options.StartStatus)) {
      status = Options.StartStatus;
    } else {
      POWER_STATE state;
      state.DeviceState = PowerDeviceD0;
      Extension->State = PnpTestStarted;
      Extension->DevicePower = PowerDeviceD0;
      PoSetPowerState(Extension->Self, DevicePowerState, state);
    }
  }
  return CompleteRequest(Irp, status);
}

NTSTATUS RemoveDevice(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PPNP_TEST_EXTENSION extension = ExtensionOf(DeviceObject);
  PDEVICE_OBJECT lower = extension->Lower;
  PnpTestCancelWake(DeviceObject);
  extension->State = PnpTestRemoved;
  NTSTATUS status;
  if (Options.BugFailRemove) {
    ForwardAndWait(extension, Irp);
    status = STATUS_UNSUCCESSFUL;
  } else {
    Irp->IoStatus.Status = STATUS_SUCCESS;
    IoSkipCurrentIrpStackLocation(Irp);
    status = IoCallDriver(lower, Irp);
  }
  if (!Options.BugKeepDeviceAtRemove) {
    IoDetachDevice(lower);
    IoDeleteDevice(DeviceObject);
  }
  if (Options.BugFailRemove)
    CompleteRequest(Irp, status);
  return status;
}

NTSTATUS DispatchPnp(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PAGED_CODE();
  PPNP_TEST_EXTENSION extension = ExtensionOf(DeviceObject);
  NTSTATUS status;
  switch (IoGetCurrentIrpStackLocation(Irp)->MinorFunction) {
  case IRP_MN_START_DEVICE:
    return StartDevice(extension, Irp);
  case IRP_MN_QUERY_STOP_DEVICE:
    if (!NT_SUCCESS(Options.QueryStopStatus))
      return CompleteRequest(Irp, Options.QueryStopStatus);
    extension->State = PnpTestStopPending;
    Irp->IoStatus.Status = STATUS_SUCCESS;
    return PassDown(extension, Irp);
  case IRP_MN_CANCEL_STOP_DEVICE:
    status = ForwardAndWait(extension, Irp);
    if (extension->State == PnpTestStopPending)
      extension->State = PnpTestStarted;
    return CompleteRequest(Irp, status);
  case IRP_MN_STOP_DEVICE:
    PnpTestCancelWake(DeviceObject);
    extension->State = PnpTestStopped;
    Irp->IoStatus.Status = STATUS_SUCCESS;
    return PassDown(extension, Irp);
  case IRP_MN_QUERY_REMOVE_DEVICE:
    if (!NT_SUCCESS(Options.QueryRemoveStatus))
      return CompleteRequest(Irp, Options.QueryRemoveStatus);
    extension->State = PnpTestRemovePending;
    Irp->IoStatus.Status = STATUS_SUCCESS;
    return PassDown(extension, Irp);
  case IRP_MN_CANCEL_REMOVE_DEVICE:
    status = ForwardAndWait(extension, Irp);
    if (extension->State == PnpTestRemovePending)
      extension->State = PnpTestStarted;
    return CompleteRequest(Irp, status);
  case IRP_MN_SURPRISE_REMOVAL:
    PnpTestCancelWake(DeviceObject);
    extension->State = PnpTestSurpriseRemoved;
    Irp->IoStatus.Status = STATUS_SUCCESS;
    return PassDown(extension, Irp);
  case IRP_MN_REMOVE_DEVICE:
    return RemoveDevice(DeviceObject, Irp);
  case IRP_MN_QUERY_PNP_DEVICE_STATE:
    if (Options.BugCompleteTwice) {
      CompleteRequest(Irp, STATUS_SUCCESS);
      IoCompleteRequest(Irp, IO_NO_INCREMENT);
      return STATUS_SUCCESS;
    }
    if (Options.BugReturnOtherStatus) {
      CompleteRequest(Irp, STATUS_SUCCESS);
      return STATUS_UNSUCCESSFUL;
    }
    return PassDown(extension, Irp);
  default:
    return PassDown(extension, Irp);
  }
}

NTSTATUS AddDevice(PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT Pdo) {
  if (!NT_SUCCESS(Options.AddDeviceStatus) && !Options.BugFailAddDeviceAttached)
    return Options.AddDeviceStatus;
  PDEVICE_OBJECT fdo = nullptr;
  NTSTATUS status =
      IoCreateDevice(DriverObject, sizeof(PNP_TEST_EXTENSION), nullptr,
                     FILE_DEVICE_UNKNOWN, 0, FALSE, &fdo);
  if (!NT_SUCCESS(status))
    return status;
  PPNP_TEST_EXTENSION extension = ExtensionOf(fdo);
  RtlZeroMemory(extension, sizeof *extension);
  extension->Self = fdo;
  extension->Pdo = Pdo;
  extension->State = PnpTestAdded;
  extension->DevicePower = PowerDeviceD0;
  extension->Lower = IoAttachDeviceToDeviceStack(fdo, Pdo);
  if (extension->Lower == nullptr) {
    IoDeleteDevice(fdo);
    return STATUS_NO_SUCH_DEVICE;
  }
  if (Options.BugFailAddDeviceAttached)
    return NT_SUCCESS(Options.AddDeviceStatus) ? STATUS_UNSUCCESSFUL
                                               : Options.AddDeviceStatus;
  fdo->Flags |= DO_POWER_PAGABLE;
  if (!Options.BugLeaveInitializing)
    fdo->Flags &= ~DO_DEVICE_INITIALIZING;
  return STATUS_SUCCESS;
}

void Unload(PDRIVER_OBJECT DriverObject) {
  UNREFERENCED_PARAMETER(DriverObject);
  UnloadCount++;
}

// IRP_MJ_CREATE, IRP_MJ_CLEANUP and IRP_MJ_CLOSE: counted, and answered.
NTSTATUS DispatchFile(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PPNP_TEST_EXTENSION extension = ExtensionOf(DeviceObject);
  switch (IoGetCurrentIrpStackLocation(Irp)->MajorFunction) {
  case IRP_MJ_CREATE:
    InterlockedIncrement(&Files.Creates);
    break;
  case IRP_MJ_CLEANUP:
    Files.CleanupState = extension->State;
    InterlockedIncrement(&Files.Cleanups);
    break;
  default:
    Files.CloseState = extension->State;
    InterlockedIncrement(&Files.Closes);
    break;
  }
  Irp->IoStatus.Status = STATUS_SUCCESS;
  Irp->IoStatus.Information = 0;
  IoCompleteRequest(Irp, IO_NO_INCREMENT);
  return STATUS_SUCCESS;
}

} // namespace

void PnpTestGetFiles(PNP_TEST_FILES *Files_) {
  *Files_ = Files;
}

void PnpTestInitialize(PDRIVER_OBJECT DriverObject,
                       const PNP_TEST_OPTIONS *Options_) {
  if (Options_ != nullptr)
    Options = *Options_;
  else
    RtlZeroMemory(&Options, sizeof Options);
  UnloadCount = 0;
  RtlZeroMemory(&Files, sizeof Files);
  DriverObject->MajorFunction[IRP_MJ_CREATE] = DispatchFile;
  DriverObject->MajorFunction[IRP_MJ_CLEANUP] = DispatchFile;
  DriverObject->MajorFunction[IRP_MJ_CLOSE] = DispatchFile;
  DriverObject->MajorFunction[IRP_MJ_PNP] = DispatchPnp;
  DriverObject->MajorFunction[IRP_MJ_POWER] = DispatchPower;
  DriverObject->DriverExtension->AddDevice = AddDevice;
  DriverObject->DriverUnload = Unload;
}

ULONG PnpTestUnloadCount(void) {
  return UnloadCount;
}

NTSTATUS PnpTestArmWake(PDEVICE_OBJECT Fdo) {
  PPNP_TEST_EXTENSION extension = ExtensionOf(Fdo);
  if (extension->Capabilities.SystemWake == PowerSystemUnspecified ||
      extension->WaitWakeIrp != nullptr)
    return STATUS_INVALID_DEVICE_REQUEST;
  POWER_STATE state;
  state.SystemState = extension->Capabilities.SystemWake;
  extension->WaitWakeCancelled = 0;
  return PoRequestPowerIrp(extension->Pdo, IRP_MN_WAIT_WAKE, state,
                           WaitWakeCallback, extension,
                           &extension->WaitWakeIrp);
}

void PnpTestCancelWake(PDEVICE_OBJECT Fdo) {
  PPNP_TEST_EXTENSION extension = ExtensionOf(Fdo);
  PIRP irp = static_cast<PIRP>(InterlockedExchangePointer(
      reinterpret_cast<PVOID volatile *>(&extension->WaitWakeIrp), nullptr));
  if (irp == nullptr)
    return;
  IoCancelIrp(irp);
  if (InterlockedExchange(&extension->WaitWakeCancelled, 1) != 0)
    IoCompleteRequest(irp, IO_NO_INCREMENT); // the completion routine kept it
}

void PnpTestReleaseSystemIrp(PDEVICE_OBJECT Fdo) {
  PPNP_TEST_EXTENSION extension = ExtensionOf(Fdo);
  PIRP irp = extension->SystemPowerIrp;
  extension->SystemPowerIrp = nullptr;
  if (irp == nullptr)
    return;
  PoStartNextPowerIrp(irp);
  IoCopyCurrentIrpStackLocationToNext(irp);
  PoCallDriver(extension->Lower, irp);
}

void PnpTestDeleteDevice(PDEVICE_OBJECT Fdo) {
  IoDetachDevice(ExtensionOf(Fdo)->Lower);
  IoDeleteDevice(Fdo);
}
