#include "tests/kernel/driver/programs.h"

#define TEST_TAG 0x74736554 // "Test"

namespace {

struct Worker {
  KEVENT Started;
  KEVENT Stop;
  KEVENT Stopped;
  LONG Passes;
};

void WorkerMain(PVOID Context) {
  Worker *worker = static_cast<Worker *>(Context);
  KeSetPriorityThread(KeGetCurrentThread(), LOW_REALTIME_PRIORITY);
  KeSetEvent(&worker->Started, IO_NO_INCREMENT, FALSE);
  for (;;) {
    LARGE_INTEGER poll;
    poll.QuadPart = -10 * 1000 * 10; // 10 ms
    NTSTATUS status = KeWaitForSingleObject(&worker->Stop, Executive,
                                            KernelMode, FALSE, &poll);
    if (status != STATUS_TIMEOUT)
      break;
    InterlockedIncrement(&worker->Passes);
  }
  KeSetEvent(&worker->Stopped, IO_NO_INCREMENT, FALSE);
  PsTerminateSystemThread(STATUS_SUCCESS);
}

NTSTATUS StartThread(PKSTART_ROUTINE Routine, PVOID Context, PVOID *Thread) {
  HANDLE handle;
  NTSTATUS status =
      PsCreateSystemThread(&handle, 0, NULL, NULL, NULL, Routine, Context);
  if (!NT_SUCCESS(status))
    return status;
  status = ObReferenceObjectByHandle(handle, THREAD_ALL_ACCESS, NULL,
                                     KernelMode, Thread, NULL);
  ZwClose(handle);
  return status;
}

void JoinThread(PVOID Thread) {
  KeWaitForSingleObject(Thread, Executive, KernelMode, FALSE, NULL);
  ObDereferenceObject(Thread);
}

struct LostWakeup {
  KEVENT Ready;
  LONG Flag;
};

void LostWakeupSignaller(PVOID Context) {
  LostWakeup *shared = static_cast<LostWakeup *>(Context);
  InterlockedExchange(&shared->Flag, 1);
  KeSetEvent(&shared->Ready, IO_NO_INCREMENT, FALSE);
}

struct Pair {
  KEVENT First;
  KEVENT Second;
  ULONG Rounds;
};

void DeadlockPartner(PVOID Context) {
  Pair *pair = static_cast<Pair *>(Context);
  KeWaitForSingleObject(&pair->Second, Executive, KernelMode, FALSE, NULL);
  KeSetEvent(&pair->First, IO_NO_INCREMENT, FALSE);
}

void PingPongPartner(PVOID Context) {
  Pair *pair = static_cast<Pair *>(Context);
  for (ULONG round = 0; round < pair->Rounds; ++round) {
    KeWaitForSingleObject(&pair->First, Executive, KernelMode, FALSE, NULL);
    KeSetEvent(&pair->Second, IO_NO_INCREMENT, FALSE);
  }
  PsTerminateSystemThread(STATUS_SUCCESS);
}

struct Counter {
  KSPIN_LOCK Lock;
  LONG Value;
  LONG Left;
  ULONG Rounds;
  BOOLEAN Locked;
  KEVENT Done;
};

void CounterWorker(PVOID Context) {
  Counter *counter = static_cast<Counter *>(Context);
  for (ULONG round = 0; round < counter->Rounds; ++round) {
    if (counter->Locked) {
      KIRQL old;
      KeAcquireSpinLock(&counter->Lock, &old);
      counter->Value = counter->Value + 1;
      KeReleaseSpinLock(&counter->Lock, old);
    } else {
      // Read, let others run, write back: updates in between are lost.
      LONG seen = InterlockedCompareExchange(&counter->Value, 0, 0);
      InterlockedExchange(&counter->Value, seen + 1);
    }
  }
  if (InterlockedDecrement(&counter->Left) == 0)
    KeSetEvent(&counter->Done, IO_NO_INCREMENT, FALSE);
}

void WaitForever(PVOID Context) {
  KeWaitForSingleObject(Context, Executive, KernelMode, FALSE, NULL);
}

void Nothing(PVOID Context) {
  UNREFERENCED_PARAMETER(Context);
}

void PageableRoutine(void) {
  PAGED_CODE();
}

} // namespace

NTSTATUS ProgramStartStopWorker(PULONG Passes) {
  Worker *worker = static_cast<Worker *>(
      ExAllocatePoolWithTag(NonPagedPool, sizeof(Worker), TEST_TAG));
  if (worker == NULL)
    return STATUS_INSUFFICIENT_RESOURCES;
  KeInitializeEvent(&worker->Started, NotificationEvent, FALSE);
  KeInitializeEvent(&worker->Stop, NotificationEvent, FALSE);
  KeInitializeEvent(&worker->Stopped, NotificationEvent, FALSE);
  worker->Passes = 0;

  PVOID thread = NULL;
  NTSTATUS status = StartThread(WorkerMain, worker, &thread);
  if (NT_SUCCESS(status)) {
    KeWaitForSingleObject(&worker->Started, Executive, KernelMode, FALSE, NULL);
    LARGE_INTEGER run;
    run.QuadPart = -105 * 1000 * 10; // 105 ms
    KeDelayExecutionThread(KernelMode, FALSE, &run);
    KeSetEvent(&worker->Stop, IO_NO_INCREMENT, FALSE);
    KeWaitForSingleObject(&worker->Stopped, Executive, KernelMode, FALSE, NULL);
    JoinThread(thread);
    *Passes = static_cast<ULONG>(worker->Passes);
  }
  ExFreePoolWithTag(worker, TEST_TAG);
  return status;
}

NTSTATUS ProgramLostWakeup(void) {
  LostWakeup shared;
  KeInitializeEvent(&shared.Ready, NotificationEvent, FALSE);
  shared.Flag = 0;
  PVOID thread = NULL;
  NTSTATUS status = StartThread(LostWakeupSignaller, &shared, &thread);
  if (!NT_SUCCESS(status))
    return status;
  if (InterlockedCompareExchange(&shared.Flag, 0, 0) == 0) {
    KeClearEvent(&shared.Ready);
    KeWaitForSingleObject(&shared.Ready, Executive, KernelMode, FALSE, NULL);
  }
  JoinThread(thread);
  return STATUS_SUCCESS;
}

NTSTATUS ProgramDeadlock(void) {
  Pair pair;
  KeInitializeEvent(&pair.First, SynchronizationEvent, FALSE);
  KeInitializeEvent(&pair.Second, SynchronizationEvent, FALSE);
  PVOID thread = NULL;
  NTSTATUS status = StartThread(DeadlockPartner, &pair, &thread);
  if (!NT_SUCCESS(status))
    return status;
  KeWaitForSingleObject(&pair.First, Executive, KernelMode, FALSE, NULL);
  KeSetEvent(&pair.Second, IO_NO_INCREMENT, FALSE);
  JoinThread(thread);
  return STATUS_SUCCESS;
}

NTSTATUS ProgramPingPong(ULONG Rounds) {
  Pair pair;
  KeInitializeEvent(&pair.First, SynchronizationEvent, FALSE);
  KeInitializeEvent(&pair.Second, SynchronizationEvent, FALSE);
  pair.Rounds = Rounds;
  PVOID thread = NULL;
  NTSTATUS status = StartThread(PingPongPartner, &pair, &thread);
  if (!NT_SUCCESS(status))
    return status;
  for (ULONG round = 0; round < Rounds; ++round) {
    KeSetEvent(&pair.First, IO_NO_INCREMENT, FALSE);
    KeWaitForSingleObject(&pair.Second, Executive, KernelMode, FALSE, NULL);
  }
  JoinThread(thread);
  return STATUS_SUCCESS;
}

void BugWaitAtDispatchLevel(void) {
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  KIRQL old;
  KeRaiseIrql(DISPATCH_LEVEL, &old);
  LARGE_INTEGER timeout;
  timeout.QuadPart = -10 * 1000 * 10;
  KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &timeout);
  KeLowerIrql(old);
}

void BugSpinLockHeldAcrossWait(void) {
  KSPIN_LOCK lock;
  KeInitializeSpinLock(&lock);
  KIRQL old;
  KeAcquireSpinLock(&lock, &old);
  LARGE_INTEGER delay;
  delay.QuadPart = -10 * 1000;
  KeDelayExecutionThread(KernelMode, FALSE, &delay);
  KeReleaseSpinLock(&lock, old);
}

void BugSpinLockOrderInversion(void) {
  KSPIN_LOCK first, second;
  KeInitializeSpinLock(&first);
  KeInitializeSpinLock(&second);
  KIRQL old, ignored;
  KeAcquireSpinLock(&first, &old);
  KeAcquireSpinLock(&second, &ignored);
  KeReleaseSpinLock(&second, DISPATCH_LEVEL);
  KeReleaseSpinLock(&first, old);

  KeAcquireSpinLock(&second, &old);
  KeAcquireSpinLock(&first, &ignored);
  KeReleaseSpinLock(&first, DISPATCH_LEVEL);
  KeReleaseSpinLock(&second, old);
}

void BugPageableAtDispatchLevel(void) {
  KSPIN_LOCK lock;
  KeInitializeSpinLock(&lock);
  KIRQL old;
  KeAcquireSpinLock(&lock, &old);
  PageableRoutine();
  KeReleaseSpinLock(&lock, old);
}

void BugThreadNeverStopped(void) {
  // The event must outlive this routine: the thread waits on it for good.
  PKEVENT never = static_cast<PKEVENT>(
      ExAllocatePoolWithTag(NonPagedPool, sizeof(KEVENT), TEST_TAG));
  KeInitializeEvent(never, NotificationEvent, FALSE);
  HANDLE handle;
  if (NT_SUCCESS(PsCreateSystemThread(&handle, 0, NULL, NULL, NULL, WaitForever,
                                      never)))
    ZwClose(handle);
}

void BugThreadReferenceLeaked(void) {
  PVOID thread = NULL;
  if (NT_SUCCESS(StartThread(Nothing, NULL, &thread)))
    KeWaitForSingleObject(thread, Executive, KernelMode, FALSE, NULL);
}

void BugFailedAssertion(void) {
  LONG count = -1;
  ASSERT(count >= 0);
}

void BugPoolLeak(void) {
  ExAllocatePoolWithTag(NonPagedPool, 24, TEST_TAG);
}

LONG ProgramCounter(ULONG Threads, ULONG Rounds, BOOLEAN Locked) {
  Counter counter;
  KeInitializeSpinLock(&counter.Lock);
  KeInitializeEvent(&counter.Done, NotificationEvent, FALSE);
  counter.Value = 0;
  counter.Left = static_cast<LONG>(Threads);
  counter.Rounds = Rounds;
  counter.Locked = Locked;
  for (ULONG i = 0; i < Threads; ++i) {
    HANDLE handle;
    if (!NT_SUCCESS(PsCreateSystemThread(&handle, 0, NULL, NULL, NULL,
                                         CounterWorker, &counter)))
      return -1;
    ZwClose(handle);
  }
  KeWaitForSingleObject(&counter.Done, Executive, KernelMode, FALSE, NULL);
  return counter.Value;
}

void BugWaitOnUninitializedEvent(void) {
  KEVENT event;
  RtlZeroMemory(&event, sizeof(event));
  LARGE_INTEGER test;
  test.QuadPart = 0;
  KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, &test);
}

void BugCloseInvalidHandle(void) {
  ZwClose(reinterpret_cast<HANDLE>(0x1234));
}

void BugDereferenceTwice(void) {
  PVOID thread = NULL;
  if (NT_SUCCESS(StartThread(Nothing, NULL, &thread))) {
    KeWaitForSingleObject(thread, Executive, KernelMode, FALSE, NULL);
    ObDereferenceObject(thread);
    ObDereferenceObject(thread);
  }
}

void BugReleaseUnheldSpinLock(void) {
  KSPIN_LOCK lock;
  KeInitializeSpinLock(&lock);
  KIRQL irql;
  KeRaiseIrql(DISPATCH_LEVEL, &irql);
  KeReleaseSpinLock(&lock, irql);
}

void BugCreateThreadAtDispatchLevel(void) {
  KIRQL irql;
  KeRaiseIrql(DISPATCH_LEVEL, &irql);
  HANDLE handle = NULL;
  NTSTATUS status =
      PsCreateSystemThread(&handle, 0, NULL, NULL, NULL, Nothing, NULL);
  KeLowerIrql(irql);
  if (NT_SUCCESS(status))
    ZwClose(handle);
}

void BugReleaseSpinLockBelowDispatchLevel(void) {
  KSPIN_LOCK lock;
  KeInitializeSpinLock(&lock);
  KIRQL irql;
  KeAcquireSpinLock(&lock, &irql);
  KeLowerIrql(PASSIVE_LEVEL);
  KeReleaseSpinLock(&lock, PASSIVE_LEVEL);

  KeRaiseIrql(DISPATCH_LEVEL, &irql);
  KeAcquireSpinLockAtDpcLevel(&lock);
  KeLowerIrql(irql);
  KeReleaseSpinLockFromDpcLevel(&lock);
}

void BugSetEventAndWaitAtDispatchLevel(void) {
  KEVENT event;
  KeInitializeEvent(&event, NotificationEvent, FALSE);
  KIRQL irql;
  KeRaiseIrql(DISPATCH_LEVEL, &irql);
  KeSetEvent(&event, IO_NO_INCREMENT, FALSE);
  KeSetEvent(&event, IO_NO_INCREMENT, TRUE);
  KeLowerIrql(irql);
}
