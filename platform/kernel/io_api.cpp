// The I/O manager's routines, as drivers call them.
#include "platform/kernel/kernel.h"
#include "platform/kernel/scheduler.h"

using talvor::kernel::IoManager;
using talvor::kernel::IrpOrigin;
using talvor::kernel::Kernel;

namespace {
IoManager &io() {
  return Kernel::get().io();
}
} // namespace

extern "C" {

NTSTATUS IoCreateDevice(PDRIVER_OBJECT DriverObject, ULONG DeviceExtensionSize,
                        PUNICODE_STRING DeviceName, DEVICE_TYPE DeviceType,
                        ULONG DeviceCharacteristics, BOOLEAN Exclusive,
                        PDEVICE_OBJECT *DeviceObject) {
  return io().create_device(DriverObject, DeviceExtensionSize, DeviceName,
                            DeviceType, DeviceCharacteristics, Exclusive != 0,
                            DeviceObject, __builtin_return_address(0));
}

void IoDeleteDevice(PDEVICE_OBJECT DeviceObject) {
  io().delete_device(DeviceObject, __builtin_return_address(0));
}

PDEVICE_OBJECT IoAttachDeviceToDeviceStack(PDEVICE_OBJECT SourceDevice,
                                           PDEVICE_OBJECT TargetDevice) {
  return io().attach(SourceDevice, TargetDevice);
}

void IoDetachDevice(PDEVICE_OBJECT TargetDevice) {
  io().detach(TargetDevice);
}

PDEVICE_OBJECT IoGetAttachedDevice(PDEVICE_OBJECT DeviceObject) {
  while (DeviceObject->AttachedDevice != nullptr)
    DeviceObject = DeviceObject->AttachedDevice;
  return DeviceObject;
}

PDEVICE_OBJECT IoGetAttachedDeviceReference(PDEVICE_OBJECT DeviceObject) {
  PDEVICE_OBJECT top = IoGetAttachedDevice(DeviceObject);
  io().reference_device(top);
  return top;
}

PIRP IoAllocateIrp(CCHAR StackSize, BOOLEAN ChargeQuota) {
  (void)ChargeQuota;
  return io().allocate_irp(StackSize, IrpOrigin::Allocated,
                           __builtin_return_address(0));
}

void IoFreeIrp(PIRP Irp) {
  io().free_irp(Irp, __builtin_return_address(0));
}

void IoReuseIrp(PIRP Irp, NTSTATUS Iostatus) {
  io().reuse_irp(Irp, Iostatus, __builtin_return_address(0));
}

PIRP IoBuildDeviceIoControlRequest(ULONG IoControlCode,
                                   PDEVICE_OBJECT DeviceObject,
                                   PVOID InputBuffer, ULONG InputBufferLength,
                                   PVOID OutputBuffer, ULONG OutputBufferLength,
                                   BOOLEAN InternalDeviceIoControl,
                                   PKEVENT Event,
                                   PIO_STATUS_BLOCK IoStatusBlock) {
  return io().build_device_io_control(
      IoControlCode, DeviceObject, InputBuffer, InputBufferLength, OutputBuffer,
      OutputBufferLength, InternalDeviceIoControl != 0, Event, IoStatusBlock,
      __builtin_return_address(0));
}

NTSTATUS IofCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp) {
  return io().call_driver(DeviceObject, Irp, __builtin_return_address(0));
}

void IofCompleteRequest(PIRP Irp, CCHAR PriorityBoost) {
  (void)PriorityBoost;
  io().complete_request(Irp, __builtin_return_address(0));
}

BOOLEAN IoCancelIrp(PIRP Irp) {
  return io().cancel_irp(Irp, __builtin_return_address(0)) ? TRUE : FALSE;
}

void IoAcquireCancelSpinLock(PKIRQL Irql) {
  *Irql = KeAcquireSpinLockRaiseToDpc(io().cancel_spin_lock());
}

void IoReleaseCancelSpinLock(KIRQL Irql) {
  KeReleaseSpinLock(io().cancel_spin_lock(), Irql);
}

PDRIVER_CANCEL IoSetCancelRoutine(PIRP Irp, PDRIVER_CANCEL CancelRoutine) {
  return reinterpret_cast<PDRIVER_CANCEL>(InterlockedExchangePointer(
      reinterpret_cast<PVOID volatile *>(&Irp->CancelRoutine),
      reinterpret_cast<PVOID>(CancelRoutine)));
}

PIO_WORKITEM IoAllocateWorkItem(PDEVICE_OBJECT DeviceObject) {
  return io().allocate_work_item(DeviceObject, __builtin_return_address(0));
}

void IoFreeWorkItem(PIO_WORKITEM IoWorkItem) {
  io().free_work_item(IoWorkItem, __builtin_return_address(0));
}

void IoQueueWorkItem(PIO_WORKITEM IoWorkItem,
                     PIO_WORKITEM_ROUTINE WorkerRoutine,
                     WORK_QUEUE_TYPE QueueType, PVOID Context) {
  (void)QueueType;
  io().queue_work_item(IoWorkItem, WorkerRoutine, Context,
                       __builtin_return_address(0));
}

NTSTATUS IoRegisterDeviceInterface(PDEVICE_OBJECT PhysicalDeviceObject,
                                   const GUID *InterfaceClassGuid,
                                   PUNICODE_STRING ReferenceString,
                                   PUNICODE_STRING SymbolicLinkName) {
  return io().register_interface(PhysicalDeviceObject, InterfaceClassGuid,
                                 ReferenceString, SymbolicLinkName,
                                 __builtin_return_address(0));
}

NTSTATUS IoSetDeviceInterfaceState(PUNICODE_STRING SymbolicLinkName,
                                   BOOLEAN Enable) {
  return io().set_interface_state(SymbolicLinkName, Enable != 0,
                                  __builtin_return_address(0));
}

PVOID IoAllocateErrorLogEntry(PVOID IoObject, UCHAR EntrySize) {
  return io().allocate_error_log_entry(IoObject, EntrySize,
                                       __builtin_return_address(0));
}

void IoWriteErrorLogEntry(PVOID ElEntry) {
  io().write_error_log_entry(ElEntry, __builtin_return_address(0));
}

void IoFreeErrorLogEntry(PVOID ElEntry) {
  io().free_error_log_entry(ElEntry, __builtin_return_address(0));
}

} // extern "C"
