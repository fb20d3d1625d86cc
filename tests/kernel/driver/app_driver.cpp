#include "tests/kernel/driver/app_driver.h"

#define APP_TAG 0x70704154 // "TApp"

// {5B1D6E2A-3C47-4F08-9A61-0D2E7B94C3F5}
const GUID GUID_APP_INTERFACE = {
    0x5b1d6e2a,
    0x3c47,
    0x4f08,
    {0x9a, 0x61, 0x0d, 0x2e, 0x7b, 0x94, 0xc3, 0xf5}};

namespace {

// The create disposition CreateFile(OPEN_EXISTING) asks for.
const ULONG FILE_OPEN_DISPOSITION = 1;

// Locking: Pending (and every queued IRP's cancel routine) is guarded by the
// cancel spin lock; counts are interlocked.
struct APP_EXTENSION {
  BOOLEAN IsFilter;
  PDEVICE_OBJECT Self;
  PDEVICE_OBJECT Lower; // filter: the device below
  ULONG Options;
  LIST_ENTRY Pending; // IOCTL_APP_WAIT requests, oldest first
  LONG Order;         // release order handed out
  APP_COUNTS Counts;
  UNICODE_STRING Link;
  BOOLEAN LinkEnabled;
  KEVENT Kick; // synchronization: release everything pending
  KEVENT Stop; // notification: the thread ends
  PVOID Thread;
};

APP_EXTENSION *Extension(PDEVICE_OBJECT DeviceObject) {
  return static_cast<APP_EXTENSION *>(DeviceObject->DeviceExtension);
}

NTSTATUS Complete(PIRP Irp, NTSTATUS Status, ULONG_PTR Information) {
  Irp->IoStatus.Status = Status;
  Irp->IoStatus.Information = Information;
  IoCompleteRequest(Irp, IO_NO_INCREMENT);
  return Status;
}

// Called with the cancel spin lock held; the IRP is still queued.
void AppCancelWait(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  APP_EXTENSION *ext = Extension(DeviceObject);
  RemoveEntryList(&Irp->Tail.Overlay.ListEntry);
  IoReleaseCancelSpinLock(Irp->CancelIrql);
  InterlockedIncrement(&ext->Counts.Cancelled);
  Complete(Irp, STATUS_CANCELLED, 0);
}

// Dequeues the oldest pending WAIT (of FileObject only, when given); it can
// no longer be cancelled.
PIRP TakePending(APP_EXTENSION *ext, PFILE_OBJECT FileObject) {
  PIRP found = nullptr;
  KIRQL irql;
  IoAcquireCancelSpinLock(&irql);
  for (PLIST_ENTRY entry = ext->Pending.Flink; entry != &ext->Pending;
       entry = entry->Flink) {
    PIRP irp = CONTAINING_RECORD(entry, IRP, Tail.Overlay.ListEntry);
    if (FileObject != nullptr &&
        IoGetCurrentIrpStackLocation(irp)->FileObject != FileObject)
      continue;
    RemoveEntryList(entry);
    IoSetCancelRoutine(irp, nullptr);
    found = irp;
    break;
  }
  IoReleaseCancelSpinLock(irql);
  return found;
}

void Release(APP_EXTENSION *ext, PIRP Irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
  LONG order = InterlockedIncrement(&ext->Order);
  ULONG_PTR information = 0;
  if (stack->Parameters.DeviceIoControl.OutputBufferLength >= sizeof(LONG)) {
    RtlCopyMemory(Irp->AssociatedIrp.SystemBuffer, &order, sizeof(LONG));
    information = sizeof(LONG);
  }
  InterlockedIncrement(&ext->Counts.Released);
  Complete(Irp, STATUS_SUCCESS, information);
}

NTSTATUS QueueWait(APP_EXTENSION *ext, PIRP Irp) {
  KIRQL irql;
  IoAcquireCancelSpinLock(&irql);
  if (Irp->Cancel) {
    IoReleaseCancelSpinLock(irql);
    InterlockedIncrement(&ext->Counts.Cancelled);
    return Complete(Irp, STATUS_CANCELLED, 0);
  }
  IoMarkIrpPending(Irp);
  IoSetCancelRoutine(Irp, AppCancelWait);
  InsertTailList(&ext->Pending, &Irp->Tail.Overlay.ListEntry);
  IoReleaseCancelSpinLock(irql);
  return STATUS_PENDING;
}

void AppThread(PVOID Context) {
  APP_EXTENSION *ext = static_cast<APP_EXTENSION *>(Context);
  PVOID events[2] = {&ext->Stop, &ext->Kick};
  while (KeWaitForMultipleObjects(2, events, WaitAny, Executive, KernelMode,
                                  FALSE, nullptr, nullptr) == STATUS_WAIT_1) {
    for (PIRP irp = TakePending(ext, nullptr); irp != nullptr;
         irp = TakePending(ext, nullptr))
      Release(ext, irp);
  }
  PsTerminateSystemThread(STATUS_SUCCESS);
}

// What IOCTL_APP_THREAD hands its thread.
struct THREAD_START {
  HANDLE Handle;
  BOOLEAN ReferenceInThread;
  NTSTATUS Status;
  KEVENT HandleReady; // Handle is filled in
  KEVENT Done;        // Status is final
};

// Kept out of line, so that findings name it in every build.
__attribute__((noinline)) NTSTATUS ReferenceByHandle(HANDLE Handle) {
  PVOID thread = nullptr;
  NTSTATUS status = ObReferenceObjectByHandle(
      Handle, THREAD_ALL_ACCESS, nullptr, KernelMode, &thread, nullptr);
  if (NT_SUCCESS(status))
    ObDereferenceObject(thread);
  ZwClose(Handle);
  return status;
}

void AppHandleThread(PVOID Context) {
  THREAD_START *start = static_cast<THREAD_START *>(Context);
  if (start->ReferenceInThread) {
    KeWaitForSingleObject(&start->HandleReady, Executive, KernelMode, FALSE,
                          nullptr);
    start->Status = ReferenceByHandle(start->Handle);
  }
  KeSetEvent(&start->Done, IO_NO_INCREMENT, FALSE);
  PsTerminateSystemThread(STATUS_SUCCESS);
}

NTSTATUS StartThread(PIRP Irp, ULONG InputLength) {
  if (InputLength < sizeof(APP_THREAD))
    return Complete(Irp, STATUS_INVALID_PARAMETER, 0);
  APP_THREAD request;
  RtlCopyMemory(&request, Irp->AssociatedIrp.SystemBuffer, sizeof request);
  THREAD_START start;
  start.Handle = nullptr;
  start.ReferenceInThread = request.ReferenceInThread;
  start.Status = STATUS_SUCCESS;
  KeInitializeEvent(&start.HandleReady, NotificationEvent, FALSE);
  KeInitializeEvent(&start.Done, NotificationEvent, FALSE);
  OBJECT_ATTRIBUTES attributes;
  InitializeObjectAttributes(&attributes, nullptr, request.Attributes, nullptr,
                             nullptr);
  NTSTATUS status = PsCreateSystemThread(&start.Handle, 0, &attributes, nullptr,
                                         nullptr, AppHandleThread, &start);
  if (!NT_SUCCESS(status))
    return Complete(Irp, status, 0);
  KeSetEvent(&start.HandleReady, IO_NO_INCREMENT, FALSE);
  if (!request.ReferenceInThread)
    start.Status = ReferenceByHandle(start.Handle);
  KeWaitForSingleObject(&start.Done, Executive, KernelMode, FALSE, nullptr);
  return Complete(Irp, start.Status, 0);
}

NTSTATUS DeviceControl(APP_EXTENSION *ext, PIRP Irp) {
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
  ULONG in = stack->Parameters.DeviceIoControl.InputBufferLength;
  ULONG out = stack->Parameters.DeviceIoControl.OutputBufferLength;
  PUCHAR buffer = static_cast<PUCHAR>(Irp->AssociatedIrp.SystemBuffer);
  InterlockedIncrement(&ext->Counts.Controls);

  switch (stack->Parameters.DeviceIoControl.IoControlCode) {
  case IOCTL_APP_ECHO:
    for (ULONG i = 0; i < in / 2; ++i) {
      UCHAR byte = buffer[i];
      buffer[i] = buffer[in - 1 - i];
      buffer[in - 1 - i] = byte;
    }
    return Complete(Irp, STATUS_SUCCESS, in < out ? in : out);

  case IOCTL_APP_REPORT: {
    if (in < sizeof(APP_REPORT))
      return Complete(Irp, STATUS_INVALID_PARAMETER, 0);
    APP_REPORT report;
    RtlCopyMemory(&report, buffer, sizeof report);
    if (out > 0)
      RtlFillMemory(buffer, out, report.Fill);
    return Complete(Irp, report.Status, report.Information);
  }

  case IOCTL_APP_WAIT:
    return QueueWait(ext, Irp);

  case IOCTL_APP_RELEASE: {
    PIRP oldest = TakePending(ext, nullptr);
    if (oldest == nullptr)
      return Complete(Irp, STATUS_NOT_FOUND, 0);
    Release(ext, oldest);
    return Complete(Irp, STATUS_SUCCESS, 0);
  }

  case IOCTL_APP_KICK:
    KeSetEvent(&ext->Kick, IO_NO_INCREMENT, FALSE);
    return Complete(Irp, STATUS_SUCCESS, 0);

  case IOCTL_APP_REVERSE: {
    PUCHAR input =
        static_cast<PUCHAR>(stack->Parameters.DeviceIoControl.Type3InputBuffer);
    PUCHAR output = static_cast<PUCHAR>(Irp->UserBuffer);
    ULONG length = in < out ? in : out;
    if (length > 0 && (input == nullptr || output == nullptr))
      return Complete(Irp, STATUS_INVALID_USER_BUFFER, 0);
    for (ULONG i = 0; i < length; ++i)
      output[i] = input[in - 1 - i];
    return Complete(Irp, STATUS_SUCCESS, length);
  }

  case IOCTL_APP_DIRECT:
    return Complete(Irp, STATUS_SUCCESS, 0);

  case IOCTL_APP_THREAD:
    return StartThread(Irp, in);

  case IOCTL_APP_UNMARKED_PENDING:
    Complete(Irp, STATUS_SUCCESS, 0);
    return STATUS_PENDING;

  default:
    return Complete(Irp, STATUS_INVALID_DEVICE_REQUEST, 0);
  }
}

// Every request of this driver arrives here: the filter passes it down, the
// device answers it.
NTSTATUS AppDispatch(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  APP_EXTENSION *ext = Extension(DeviceObject);
  PIO_STACK_LOCATION stack = IoGetCurrentIrpStackLocation(Irp);
  if (stack->FileObject == nullptr || Irp->RequestorMode != UserMode ||
      Irp->Tail.Overlay.OriginalFileObject != stack->FileObject ||
      Irp->Tail.Overlay.Thread == nullptr)
    InterlockedIncrement(&ext->Counts.Malformed);

  switch (stack->MajorFunction) {
  case IRP_MJ_CREATE:
    InterlockedIncrement(&ext->Counts.Creates);
    if (stack->FileObject == nullptr ||
        stack->FileObject->DeviceObject == nullptr ||
        stack->Parameters.Create.Options >> 24 != FILE_OPEN_DISPOSITION)
      InterlockedIncrement(&ext->Counts.Malformed);
    if (!ext->IsFilter && (ext->Options & APP_FAIL_CREATE))
      return Complete(Irp, STATUS_DEVICE_NOT_CONNECTED, 0);
    break;
  case IRP_MJ_CLEANUP:
    InterlockedIncrement(&ext->Counts.Cleanups);
    if (!ext->IsFilter && !(ext->Options & APP_KEEP_AT_CLEANUP))
      for (PIRP irp = TakePending(ext, stack->FileObject); irp != nullptr;
           irp = TakePending(ext, stack->FileObject)) {
        InterlockedIncrement(&ext->Counts.Cancelled);
        Complete(irp, STATUS_CANCELLED, 0);
      }
    break;
  case IRP_MJ_CLOSE:
    InterlockedIncrement(&ext->Counts.Closes);
    break;
  case IRP_MJ_DEVICE_CONTROL:
    if (!ext->IsFilter)
      return DeviceControl(ext, Irp);
    InterlockedIncrement(&ext->Counts.Controls);
    break;
  default:
    break;
  }
  if (ext->IsFilter) {
    IoSkipCurrentIrpStackLocation(Irp);
    return IoCallDriver(ext->Lower, Irp);
  }
  return Complete(Irp, STATUS_SUCCESS, 0);
}

NTSTATUS CreateAppDevice(PDRIVER_OBJECT DriverObject, PCWSTR Name,
                         BOOLEAN Exclusive, PDEVICE_OBJECT *Device) {
  UNICODE_STRING name;
  if (Name != nullptr)
    RtlInitUnicodeString(&name, Name);
  PDEVICE_OBJECT device = nullptr;
  NTSTATUS status = IoCreateDevice(DriverObject, sizeof(APP_EXTENSION),
                                   Name != nullptr ? &name : nullptr,
                                   FILE_DEVICE_UNKNOWN, 0, Exclusive, &device);
  if (!NT_SUCCESS(status))
    return status;
  APP_EXTENSION *ext = Extension(device);
  RtlZeroMemory(ext, sizeof *ext);
  ext->Self = device;
  InitializeListHead(&ext->Pending);
  KeInitializeEvent(&ext->Kick, SynchronizationEvent, FALSE);
  KeInitializeEvent(&ext->Stop, NotificationEvent, FALSE);
  device->Flags |= DO_BUFFERED_IO;
  *Device = device;
  return STATUS_SUCCESS;
}

} // namespace

void AppDriverInitialize(PDRIVER_OBJECT DriverObject) {
  DriverObject->MajorFunction[IRP_MJ_CREATE] = AppDispatch;
  DriverObject->MajorFunction[IRP_MJ_CLEANUP] = AppDispatch;
  DriverObject->MajorFunction[IRP_MJ_CLOSE] = AppDispatch;
  DriverObject->MajorFunction[IRP_MJ_DEVICE_CONTROL] = AppDispatch;
}

NTSTATUS AppDriverAddDevice(PDRIVER_OBJECT DriverObject, PCWSTR Name,
                            BOOLEAN Exclusive, PDEVICE_OBJECT *Device) {
  PDEVICE_OBJECT device = nullptr;
  NTSTATUS status = CreateAppDevice(DriverObject, Name, Exclusive, &device);
  if (!NT_SUCCESS(status))
    return status;
  APP_EXTENSION *ext = Extension(device);
  HANDLE handle;
  status = PsCreateSystemThread(&handle, 0, nullptr, nullptr, nullptr,
                                AppThread, ext);
  if (NT_SUCCESS(status)) {
    status = ObReferenceObjectByHandle(handle, THREAD_ALL_ACCESS, nullptr,
                                       KernelMode, &ext->Thread, nullptr);
    ZwClose(handle);
  }
  if (!NT_SUCCESS(status)) {
    IoDeleteDevice(device);
    return status;
  }
  device->Flags &= ~DO_DEVICE_INITIALIZING;
  *Device = device;
  return STATUS_SUCCESS;
}

NTSTATUS AppDriverSetInterface(PDEVICE_OBJECT Device, BOOLEAN Enable) {
  APP_EXTENSION *ext = Extension(Device);
  if (ext->Link.Buffer == nullptr && !Enable)
    return STATUS_SUCCESS;
  if (ext->Link.Buffer == nullptr) {
    NTSTATUS status = IoRegisterDeviceInterface(Device, &GUID_APP_INTERFACE,
                                                nullptr, &ext->Link);
    if (!NT_SUCCESS(status))
      return status;
  }
  NTSTATUS status = IoSetDeviceInterfaceState(&ext->Link, Enable);
  if (NT_SUCCESS(status))
    ext->LinkEnabled = Enable;
  return status;
}

void AppDriverRemoveDevice(PDEVICE_OBJECT Device) {
  APP_EXTENSION *ext = Extension(Device);
  for (PIRP irp = TakePending(ext, nullptr); irp != nullptr;
       irp = TakePending(ext, nullptr))
    Complete(irp, STATUS_DELETE_PENDING, 0);
  KeSetEvent(&ext->Stop, IO_NO_INCREMENT, FALSE);
  KeWaitForSingleObject(ext->Thread, Executive, KernelMode, FALSE, nullptr);
  ObDereferenceObject(ext->Thread);
  if (ext->LinkEnabled)
    IoSetDeviceInterfaceState(&ext->Link, FALSE);
  if (ext->Link.Buffer != nullptr)
    RtlFreeUnicodeString(&ext->Link);
  IoDeleteDevice(Device);
}

NTSTATUS AppDriverAttachFilter(PDRIVER_OBJECT DriverObject,
                               PDEVICE_OBJECT Device, PDEVICE_OBJECT *Filter) {
  PDEVICE_OBJECT filter = nullptr;
  NTSTATUS status = CreateAppDevice(DriverObject, nullptr, FALSE, &filter);
  if (!NT_SUCCESS(status))
    return status;
  APP_EXTENSION *ext = Extension(filter);
  ext->IsFilter = TRUE;
  ext->Lower = IoAttachDeviceToDeviceStack(filter, Device);
  if (ext->Lower == nullptr) {
    IoDeleteDevice(filter);
    return STATUS_NO_SUCH_DEVICE;
  }
  filter->Flags &= ~DO_DEVICE_INITIALIZING;
  *Filter = filter;
  return STATUS_SUCCESS;
}

void AppDriverDetachFilter(PDEVICE_OBJECT Filter) {
  IoDetachDevice(Extension(Filter)->Lower);
  IoDeleteDevice(Filter);
}

void AppDriverSetOptions(PDEVICE_OBJECT Device, ULONG Options) {
  Extension(Device)->Options = Options;
}

void AppDriverGetCounts(PDEVICE_OBJECT Device, APP_COUNTS *Counts) {
  APP_COUNTS *counts = &Extension(Device)->Counts;
  Counts->Creates = InterlockedCompareExchange(&counts->Creates, 0, 0);
  Counts->Cleanups = InterlockedCompareExchange(&counts->Cleanups, 0, 0);
  Counts->Closes = InterlockedCompareExchange(&counts->Closes, 0, 0);
  Counts->Controls = InterlockedCompareExchange(&counts->Controls, 0, 0);
  Counts->Released = InterlockedCompareExchange(&counts->Released, 0, 0);
  Counts->Cancelled = InterlockedCompareExchange(&counts->Cancelled, 0, 0);
  Counts->Malformed = InterlockedCompareExchange(&counts->Malformed, 0, 0);
}

BOOLEAN AppDriverReleaseOldest(PDEVICE_OBJECT Device) {
  APP_EXTENSION *ext = Extension(Device);
  PIRP irp = TakePending(ext, nullptr);
  if (irp == nullptr)
    return FALSE;
  Release(ext, irp);
  return TRUE;
}
