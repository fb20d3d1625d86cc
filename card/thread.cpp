// The card presence thread: one per reader, reading presence bytes from the
// interrupt pipe, and its start and stop procedures.
#include "usb/usbscd.h"

namespace {

void EndThread(PDEVICE_EXTENSION DeviceExtension) {
  KeClearEvent(&DeviceExtension->ThreadStarted);
  KeSetEvent(&DeviceExtension->ThreadStopped, IO_NO_INCREMENT, FALSE);
  PsTerminateSystemThread(STATUS_SUCCESS);
}

} // namespace

/*
 * ThreadMain
 *   Reads presence bytes until asked to stop or until a read fails; records
 *   each in the card state and pulses CardChangeEvent on a removal.
 * Arguments: the device extension.
 * Result: none; ends itself.  IRQL: PASSIVE_LEVEL, priority 16.
 */
void ThreadMain(PVOID StartContext) {
  PDEVICE_EXTENSION deviceExtension =
      static_cast<PDEVICE_EXTENSION>(StartContext);
  LARGE_INTEGER delay;

  KeSetPriorityThread(KeGetCurrentThread(), LOW_REALTIME_PRIORITY);
  KeSetEvent(&deviceExtension->ThreadStarted, IO_NO_INCREMENT, FALSE);
  DbgPrint(USCR_DASHES);
  DbgPrint("ThreadMain : Enter\n");
  DbgPrint(USCR_DASHES);

  for (;;) {
    if (deviceExtension->ThreadShouldStop) {
      DbgPrint("*******ThreadMain ThreadShouldStop1\n");
      EndThread(deviceExtension);
      return;
    }

    DbgPrint("****** ThreadMain 1 ******\n");
    KeClearEvent(&deviceExtension->CardChangeEvent);
    DbgPrint("****** SCReadWriteInterrupt : Main Enter ******\n");
    UCHAR presence = 0;
    NTSTATUS ntStatus = SCReadWriteInterrupt(
        &deviceExtension->SmartcardExtension, &presence, 1, FALSE);
    DbgPrint("****** NTstatus = %X  \n", ntStatus);

    if (ntStatus != STATUS_SUCCESS) {
      DbgPrint("*******!!!!!!!  ThreadMain ThreadShouldStop3\n");
      DbgPrint("*******!!!!!!!  Trigger CardChangeEvent\n");
      KeSetEvent(&deviceExtension->CardChangeEvent, IO_NO_INCREMENT, FALSE);
      EndThread(deviceExtension);
      return;
    }

    if (presence == 1) {
      DbgPrint("***** XXTHREAD Card is present\n");
      delay.QuadPart = -500000; // 50 ms
      KeDelayExecutionThread(KernelMode, FALSE, &delay);
      CBUpdateCardState(deviceExtension, 1);
    } else if (presence == 0) {
      DbgPrint("***** XXTHREAD Card is absent\n");
      CBUpdateCardState(deviceExtension, 0);
      KeSetEvent(&deviceExtension->CardChangeEvent, IO_NO_INCREMENT, FALSE);
      delay.QuadPart = -1000000; // 100 ms
      KeDelayExecutionThread(KernelMode, FALSE, &delay);
      KeClearEvent(&deviceExtension->CardChangeEvent);
    } else {
      DbgPrint("*******XXTHREAD Unknown card\n");
      CBUpdateCardState(deviceExtension, presence);
    }
  }
}

/*
 * UscrReleaseThreadObject
 *   Waits until an ended (or ending) card presence thread has terminated
 *   and drops the reference held on it.
 * Arguments: the device extension.  Result: none.  IRQL: PASSIVE_LEVEL.
 */
void UscrReleaseThreadObject(PDEVICE_EXTENSION DeviceExtension) {
  PVOID threadObject = DeviceExtension->ThreadObject;
  DeviceExtension->ThreadObject = nullptr;
  if (threadObject == nullptr)
    return;
  // ThreadStopped is set before the thread's last instructions in this
  // image: wait for the thread itself, or an unload may run before it ends.
  KeWaitForSingleObject(threadObject, Executive, KernelMode, FALSE, nullptr);
  ObDereferenceObject(threadObject);
}

/*
 * UscrStartCardThread
 *   The common part of every creator: clears the stop request and
 *   ThreadStopped, creates the thread, keeps a reference on it and waits
 *   until it runs (or has already ended). Creator-specific preparation
 *   (ThreadStopEvent at D0) is the caller's. No thread may be running.
 * Arguments: the device extension.
 * Result: STATUS_SUCCESS; the creation's failure, after which the thread
 *   counts as stopped (ThreadShouldStop TRUE, ThreadStopped set), so that a
 *   later recovery tries again and a later stop does not wait.
 * IRQL: PASSIVE_LEVEL.
 */
NTSTATUS UscrStartCardThread(PDEVICE_EXTENSION DeviceExtension) {
  PAGED_CODE();
  HANDLE threadHandle = nullptr;

  // The reference of a thread that has ended.
  UscrReleaseThreadObject(DeviceExtension);
  DeviceExtension->ThreadShouldStop = FALSE;
  KeClearEvent(&DeviceExtension->ThreadStopped);

  // A kernel handle: a recovery restarts the thread from a request's thread,
  // whose process would otherwise own the handle.
  OBJECT_ATTRIBUTES attributes;
  InitializeObjectAttributes(&attributes, nullptr, OBJ_KERNEL_HANDLE, nullptr,
                             nullptr);
  NTSTATUS ntStatus =
      PsCreateSystemThread(&threadHandle, 0, &attributes, nullptr, nullptr,
                           ThreadMain, DeviceExtension);
  if (!NT_SUCCESS(ntStatus)) {
    DeviceExtension->ThreadShouldStop = TRUE;
    KeSetEvent(&DeviceExtension->ThreadStopped, IO_NO_INCREMENT, FALSE);
    return ntStatus;
  }
  PVOID threadObject = nullptr;
  if (NT_SUCCESS(ObReferenceObjectByHandle(threadHandle, THREAD_ALL_ACCESS,
                                           nullptr, KernelMode, &threadObject,
                                           nullptr)))
    DeviceExtension->ThreadObject = threadObject;
  ZwClose(threadHandle);

  // A thread whose first read fails clears ThreadStarted again at once;
  // ThreadStopped then tells that it has run.
  PVOID objects[2] = {&DeviceExtension->ThreadStarted,
                      &DeviceExtension->ThreadStopped};
  KeWaitForMultipleObjects(2, objects, WaitAny, Executive, KernelMode, FALSE,
                           nullptr, nullptr);
  return STATUS_SUCCESS;
}

/*
 * UscrStopCardThread
 *   Asks the card presence thread to end, breaks its interrupt read, waits
 *   until it has ended and drops the reference on it.
 * Arguments: the device extension.  Result: none.  IRQL: PASSIVE_LEVEL.
 */
void UscrStopCardThread(PDEVICE_EXTENSION DeviceExtension) {
  PAGED_CODE();
  DeviceExtension->ThreadShouldStop = TRUE;
  KeSetEvent(&DeviceExtension->ThreadStopEvent, IO_NO_INCREMENT, FALSE);
  // Without a thread object no thread was started: nothing to wait for.
  if (DeviceExtension->ThreadObject == nullptr)
    return;
  KeWaitForSingleObject(&DeviceExtension->ThreadStopped, Executive, KernelMode,
                        FALSE, nullptr);
  UscrReleaseThreadObject(DeviceExtension);
}
