#include "tests/kernel/driver/io_driver.h"

namespace {

// --- lower driver -----------------------------------------------------------

// Unlinks and cancels a queued request, the cancel spin lock released.
void CancelQueued(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PTEST_LOWER_EXTENSION extension =
      static_cast<PTEST_LOWER_EXTENSION>(DeviceObject->DeviceExtension);
  KIRQL irql;
  KeAcquireSpinLock(&extension->QueueLock, &irql);
  RemoveEntryList(&Irp->Tail.Overlay.ListEntry);
  KeReleaseSpinLock(&extension->QueueLock, irql);
  InterlockedIncrement(&extension->Cancelled);
  Irp->IoStatus.Status = STATUS_CANCELLED;
  Irp->IoStatus.Information = 0;
  IoCompleteRequest(Irp, IO_NO_INCREMENT);
}

void LowerCancel(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  IoReleaseCancelSpinLock(Irp->CancelIrql);
  CancelQueued(DeviceObject, Irp);
}

// Planted: gives the cancel spin lock back to DISPATCH_LEVEL, not to the
// IRP's CancelIrql.
void LowerCancelRaised(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  IoReleaseCancelSpinLock(DISPATCH_LEVEL);
  CancelQueued(DeviceObject, Irp);
}

NTSTATUS QueueCancellable(PTEST_LOWER_EXTENSION Extension, PIRP Irp,
                          PDRIVER_CANCEL Cancel) {
  KIRQL irql;
  KeAcquireSpinLock(&Extension->QueueLock, &irql);
  IoSetCancelRoutine(Irp, Cancel);
  if (Irp->Cancel && IoSetCancelRoutine(Irp, NULL) != NULL) {
    KeReleaseSpinLock(&Extension->QueueLock, irql);
    Irp->IoStatus.Status = STATUS_CANCELLED;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return STATUS_CANCELLED;
  }
  IoMarkIrpPending(Irp);
  InsertTailList(&Extension->Queue, &Irp->Tail.Overlay.ListEntry);
  KeReleaseSpinLock(&Extension->QueueLock, irql);
  return STATUS_PENDING;
}

void CompleteLater(PVOID Context) {
  PIRP irp = static_cast<PIRP>(Context);
  LARGE_INTEGER delay;
  delay.QuadPart = -10 * 1000 * 10;
  KeDelayExecutionThread(KernelMode, FALSE, &delay);
  irp->IoStatus.Status = STATUS_SUCCESS;
  irp->IoStatus.Information = 0;
  IoCompleteRequest(irp, IO_NO_INCREMENT);
}

NTSTATUS LowerDeviceControl(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PTEST_LOWER_EXTENSION extension =
      static_cast<PTEST_LOWER_EXTENSION>(DeviceObject->DeviceExtension);
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
  ULONG code = stack->Parameters.DeviceIoControl.IoControlCode;
  ULONG out = stack->Parameters.DeviceIoControl.OutputBufferLength;
  PUCHAR buffer = static_cast<PUCHAR>(Irp->AssociatedIrp.SystemBuffer);

  switch (code) {
  case IOCTL_TEST_COMPLETE:
  case IOCTL_TEST_FORWARD_AND_WAIT:
  case IOCTL_TEST_FORWARD_RAISING: {
    // Answers with the input reversed, as much as fits.
    ULONG in = stack->Parameters.DeviceIoControl.InputBufferLength;
    ULONG n = in < out ? in : out;
    for (ULONG i = 0; i < n / 2; ++i) {
      UCHAR t = buffer[i];
      buffer[i] = buffer[n - 1 - i];
      buffer[n - 1 - i] = t;
    }
    Irp->IoStatus.Status = STATUS_SUCCESS;
    Irp->IoStatus.Information = n;
    InterlockedIncrement(&extension->Completed);
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
  }
  case IOCTL_TEST_PEND:
    return QueueCancellable(extension, Irp, LowerCancel);
  case IOCTL_TEST_PEND_BAD_CANCEL:
    return QueueCancellable(extension, Irp, LowerCancelRaised);
  case IOCTL_TEST_COMPLETE_WITH: {
    NTSTATUS status = STATUS_INVALID_PARAMETER;
    if (stack->Parameters.DeviceIoControl.InputBufferLength >= sizeof status)
      RtlCopyMemory(&status, buffer, sizeof status);
    Irp->IoStatus.Status = status;
    Irp->IoStatus.Information = 0;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return status;
  }
  case IOCTL_TEST_PEND_UNMARKED: {
    HANDLE handle;
    if (NT_SUCCESS(PsCreateSystemThread(&handle, 0, NULL, NULL, NULL,
                                        CompleteLater, Irp)))
      ZwClose(handle);
    return STATUS_PENDING;
  }
  case IOCTL_TEST_MARK_AND_COMPLETE:
    IoMarkIrpPending(Irp);
    Irp->IoStatus.Status = STATUS_SUCCESS;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
  case IOCTL_TEST_RETURN_RAISED: {
    KIRQL irql;
    KeRaiseIrql(DISPATCH_LEVEL, &irql);
    Irp->IoStatus.Status = STATUS_SUCCESS;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
  }
  case IOCTL_TEST_RETURN_LOCKED: {
    KIRQL irql;
    KeAcquireSpinLock(&extension->QueueLock, &irql);
    Irp->IoStatus.Status = STATUS_SUCCESS;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
  }
  case IOCTL_TEST_PEND_UNCANCELLABLE:
  case IOCTL_TEST_FORWARD_PENDING:
  case IOCTL_TEST_FORWARD_FORGETFUL: {
    IoMarkIrpPending(Irp);
    HANDLE handle;
    if (NT_SUCCESS(PsCreateSystemThread(&handle, 0, NULL, NULL, NULL,
                                        CompleteLater, Irp)))
      ZwClose(handle);
    return STATUS_PENDING;
  }
  case IOCTL_TEST_COMPLETE_TWICE:
    Irp->IoStatus.Status = STATUS_SUCCESS;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
  case IOCTL_TEST_KEEP_CANCEL_ROUTINE:
    IoSetCancelRoutine(Irp, LowerCancel);
    Irp->IoStatus.Status = STATUS_SUCCESS;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return STATUS_SUCCESS;
  case IOCTL_TEST_HOLD_FOREVER:
    IoMarkIrpPending(Irp);
    return STATUS_PENDING;
  default:
    Irp->IoStatus.Status = STATUS_INVALID_DEVICE_REQUEST;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return STATUS_INVALID_DEVICE_REQUEST;
  }
}

// --- upper driver -----------------------------------------------------------

NTSTATUS UpperWatch(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context) {
  UNREFERENCED_PARAMETER(Context);
  PTEST_UPPER_EXTENSION extension =
      static_cast<PTEST_UPPER_EXTENSION>(DeviceObject->DeviceExtension);
  InterlockedIncrement(&extension->CompletionCalls);
  extension->CompletionDevice = DeviceObject;
  if (Irp->PendingReturned) {
    extension->SawPendingReturned = TRUE;
    IoMarkIrpPending(Irp);
  }
  return STATUS_SUCCESS;
}

// Planted: lets the IRP go on up without passing PendingReturned on.
NTSTATUS UpperForgetful(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context) {
  UNREFERENCED_PARAMETER(DeviceObject);
  UNREFERENCED_PARAMETER(Irp);
  UNREFERENCED_PARAMETER(Context);
  return STATUS_SUCCESS;
}

// Planted: returns at DISPATCH_LEVEL.
NTSTATUS UpperRaising(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context) {
  UNREFERENCED_PARAMETER(DeviceObject);
  UNREFERENCED_PARAMETER(Context);
  KIRQL irql;
  KeRaiseIrql(DISPATCH_LEVEL, &irql);
  if (Irp->PendingReturned)
    IoMarkIrpPending(Irp);
  return STATUS_SUCCESS;
}

NTSTATUS SignalEvent(PDEVICE_OBJECT DeviceObject, PIRP Irp, PVOID Context) {
  UNREFERENCED_PARAMETER(DeviceObject);
  UNREFERENCED_PARAMETER(Irp);
  KeSetEvent(static_cast<PKEVENT>(Context), IO_NO_INCREMENT, FALSE);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

NTSTATUS UpperDeviceControl(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  PTEST_UPPER_EXTENSION extension =
      static_cast<PTEST_UPPER_EXTENSION>(DeviceObject->DeviceExtension);
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
  ULONG code = stack->Parameters.DeviceIoControl.IoControlCode;
  if (code == IOCTL_TEST_FORWARD_AND_WAIT ||
      code == IOCTL_TEST_FORWARD_PENDING) {
    KEVENT done;
    KeInitializeEvent(&done, NotificationEvent, FALSE);
    IoCopyCurrentIrpStackLocationToNext(Irp);
    IoSetCompletionRoutine(Irp, SignalEvent, &done, TRUE, TRUE, TRUE);
    if (IoCallDriver(extension->Lower, Irp) == STATUS_PENDING)
      KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, NULL);
    // The IRP is ours again: add a mark and finish it.
    NTSTATUS status = Irp->IoStatus.Status;
    IoCompleteRequest(Irp, IO_NO_INCREMENT);
    return status;
  }
  PIO_COMPLETION_ROUTINE routine = UpperWatch;
  if (code == IOCTL_TEST_FORWARD_FORGETFUL)
    routine = UpperForgetful;
  else if (code == IOCTL_TEST_FORWARD_RAISING)
    routine = UpperRaising;
  IoCopyCurrentIrpStackLocationToNext(Irp);
  IoSetCompletionRoutine(Irp, routine, NULL, TRUE, TRUE, TRUE);
  return IoCallDriver(extension->Lower, Irp);
}

struct CancelContext {
  KEVENT Done;
  NTSTATUS Status;
};

NTSTATUS CancelTestCompletion(PDEVICE_OBJECT DeviceObject, PIRP Irp,
                              PVOID Context) {
  UNREFERENCED_PARAMETER(DeviceObject);
  CancelContext *context = static_cast<CancelContext *>(Context);
  context->Status = Irp->IoStatus.Status;
  KeSetEvent(&context->Done, IO_NO_INCREMENT, FALSE);
  return STATUS_MORE_PROCESSING_REQUIRED;
}

} // namespace

void TestLowerInitialize(PDRIVER_OBJECT DriverObject) {
  DriverObject->MajorFunction[IRP_MJ_DEVICE_CONTROL] = LowerDeviceControl;
  DriverObject->MajorFunction[IRP_MJ_INTERNAL_DEVICE_CONTROL] =
      LowerDeviceControl;
}

void TestUpperInitialize(PDRIVER_OBJECT DriverObject) {
  DriverObject->MajorFunction[IRP_MJ_DEVICE_CONTROL] = UpperDeviceControl;
}

NTSTATUS TestBuildStack(PDRIVER_OBJECT Lower, PDRIVER_OBJECT Upper,
                        PDEVICE_OBJECT *LowerDevice,
                        PDEVICE_OBJECT *UpperDevice) {
  UNICODE_STRING name;
  RtlInitUnicodeString(&name, L"\\Device\\TestLower");
  NTSTATUS status = IoCreateDevice(Lower, sizeof(TEST_LOWER_EXTENSION), &name,
                                   FILE_DEVICE_UNKNOWN, 0, FALSE, LowerDevice);
  if (!NT_SUCCESS(status))
    return status;
  PTEST_LOWER_EXTENSION lower =
      static_cast<PTEST_LOWER_EXTENSION>((*LowerDevice)->DeviceExtension);
  KeInitializeSpinLock(&lower->QueueLock);
  InitializeListHead(&lower->Queue);
  (*LowerDevice)->Flags &= ~DO_DEVICE_INITIALIZING;

  status = IoCreateDevice(Upper, sizeof(TEST_UPPER_EXTENSION), NULL,
                          FILE_DEVICE_UNKNOWN, 0, FALSE, UpperDevice);
  if (!NT_SUCCESS(status)) {
    IoDeleteDevice(*LowerDevice);
    return status;
  }
  PTEST_UPPER_EXTENSION upper =
      static_cast<PTEST_UPPER_EXTENSION>((*UpperDevice)->DeviceExtension);
  upper->Lower = IoAttachDeviceToDeviceStack(*UpperDevice, *LowerDevice);
  (*UpperDevice)->Flags &= ~DO_DEVICE_INITIALIZING;
  return upper->Lower != NULL ? STATUS_SUCCESS : STATUS_UNSUCCESSFUL;
}

void TestTearDownStack(PDEVICE_OBJECT LowerDevice, PDEVICE_OBJECT UpperDevice) {
  IoDetachDevice(LowerDevice);
  IoDeleteDevice(UpperDevice);
  IoDeleteDevice(LowerDevice);
}

ULONG TestLowerCompleteQueued(PDEVICE_OBJECT LowerDevice, NTSTATUS Status) {
  PTEST_LOWER_EXTENSION extension =
      static_cast<PTEST_LOWER_EXTENSION>(LowerDevice->DeviceExtension);
  ULONG completed = 0;
  for (;;) {
    KIRQL irql;
    KeAcquireSpinLock(&extension->QueueLock, &irql);
    PIRP irp = NULL;
    while (!IsListEmpty(&extension->Queue)) {
      PLIST_ENTRY entry = RemoveHeadList(&extension->Queue);
      PIRP candidate = CONTAINING_RECORD(entry, IRP, Tail.Overlay.ListEntry);
      if (IoSetCancelRoutine(candidate, NULL) != NULL) {
        irp = candidate;
        break;
      }
      // Its cancel routine runs now and will unlink it: leave it a list.
      InitializeListHead(entry);
    }
    KeReleaseSpinLock(&extension->QueueLock, irql);
    if (irp == NULL)
      return completed;
    irp->IoStatus.Status = Status;
    irp->IoStatus.Information = 0;
    InterlockedIncrement(&extension->Completed);
    IoCompleteRequest(irp, IO_NO_INCREMENT);
    ++completed;
  }
}

NTSTATUS TestSendAndWait(PDEVICE_OBJECT Device, ULONG Code, PVOID Input,
                         ULONG InputLength, PVOID Output, ULONG OutputLength,
                         PULONG_PTR Information) {
  KEVENT done;
  IO_STATUS_BLOCK status_block;
  KeInitializeEvent(&done, NotificationEvent, FALSE);
  PIRP irp =
      IoBuildDeviceIoControlRequest(Code, Device, Input, InputLength, Output,
                                    OutputLength, FALSE, &done, &status_block);
  if (irp == NULL)
    return STATUS_INSUFFICIENT_RESOURCES;
  NTSTATUS status = IoCallDriver(Device, irp);
  if (status == STATUS_PENDING) {
    KeWaitForSingleObject(&done, Executive, KernelMode, FALSE, NULL);
    status = status_block.Status;
  }
  if (Information != NULL)
    *Information = status_block.Information;
  return status;
}

NTSTATUS TestSendAndCancel(PDEVICE_OBJECT Device, ULONG Code, ULONG DelayMs) {
  PIRP irp = IoAllocateIrp(Device->StackSize, FALSE);
  if (irp == NULL)
    return STATUS_INSUFFICIENT_RESOURCES;
  CancelContext context;
  KeInitializeEvent(&context.Done, NotificationEvent, FALSE);
  context.Status = STATUS_PENDING;
  PIO_STACK_LOCATION next = IoGetNextIrpStackLocation(irp);
  next->MajorFunction = IRP_MJ_DEVICE_CONTROL;
  next->Parameters.DeviceIoControl.IoControlCode = Code;
  IoSetCompletionRoutine(irp, CancelTestCompletion, &context, TRUE, TRUE, TRUE);
  NTSTATUS status = IoCallDriver(Device, irp);
  if (status == STATUS_PENDING) {
    if (DelayMs > 0) {
      LARGE_INTEGER delay;
      delay.QuadPart = -static_cast<LONGLONG>(DelayMs) * 10000;
      KeDelayExecutionThread(KernelMode, FALSE, &delay);
    }
    IoCancelIrp(irp);
  }
  KeWaitForSingleObject(&context.Done, Executive, KernelMode, FALSE, NULL);
  IoFreeIrp(irp);
  return context.Status;
}
