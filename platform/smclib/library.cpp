// Setting up and releasing the library's part of a reader, the remove lock
// and the event log.
#include <algorithm>
#include <cstring>

#include "platform/kernel/kernel.h"
#include "platform/kernel/pool.h"
#include "platform/smclib/extension.h"

namespace talvor::smclib {

namespace {

constexpr ULONG kLibraryTag = kernel::make_pool_tag("SmcL");

PUCHAR allocate_buffer(ULONG size) {
  return static_cast<PUCHAR>(
      ExAllocatePoolWithTag(NonPagedPool, size, kLibraryTag));
}

void release(POS_DEP_DATA os, SMARTCARD_EXTENSION &extension) {
  if (os->OwnsRequestBuffer && extension.SmartcardRequest.Buffer != nullptr) {
    ExFreePoolWithTag(extension.SmartcardRequest.Buffer, kLibraryTag);
    extension.SmartcardRequest.Buffer = nullptr;
    extension.SmartcardRequest.BufferLength = 0;
  }
  if (os->OwnsReplyBuffer && extension.SmartcardReply.Buffer != nullptr) {
    ExFreePoolWithTag(extension.SmartcardReply.Buffer, kLibraryTag);
    extension.SmartcardReply.Buffer = nullptr;
    extension.SmartcardReply.BufferLength = 0;
  }
  ExFreePoolWithTag(os, kLibraryTag);
}

// A buffer the driver did not provide, of the size it asked for but at
// least MIN_BUFFER_SIZE. False when the pool refused it.
template <typename Buffer> bool provide(Buffer &buffer, BOOLEAN &owned) {
  owned = FALSE;
  if (buffer.Buffer != nullptr)
    return true;
  buffer.BufferSize = std::max<ULONG>(buffer.BufferSize, MIN_BUFFER_SIZE);
  buffer.Buffer = allocate_buffer(buffer.BufferSize);
  if (buffer.Buffer == nullptr)
    return false;
  std::memset(buffer.Buffer, 0, buffer.BufferSize);
  buffer.BufferLength = 0;
  owned = TRUE;
  return true;
}

} // namespace

void report_misuse(const std::string &message, const void *site,
                   kernel::FindingKind kind) {
  kernel::Kernel::get().verifier().report(kind,
                                          "smart card library: " + message,
                                          kernel::describe_code_address(site));
}

} // namespace talvor::smclib

using namespace talvor::smclib;

extern "C" {

NTSTATUS SmartcardInitialize(PSMARTCARD_EXTENSION SmartcardExtension) {
  PAGED_CODE();
  if (SmartcardExtension == nullptr)
    return STATUS_INVALID_PARAMETER;
  auto &extension = *SmartcardExtension;
  if (extension.Version < SMCLIB_VERSION_REQUIRED ||
      extension.Version > SMCLIB_VERSION)
    return STATUS_UNSUCCESSFUL;
  if (extension.OsData != nullptr) {
    report_misuse("SmartcardInitialize of an extension already initialised",
                  __builtin_return_address(0));
    return STATUS_INVALID_DEVICE_STATE;
  }

  auto os = static_cast<POS_DEP_DATA>(
      ExAllocatePoolWithTag(NonPagedPool, sizeof(OS_DEP_DATA), kLibraryTag));
  if (os == nullptr)
    return STATUS_INSUFFICIENT_RESOURCES;
  std::memset(os, 0, sizeof *os);
  if (!provide(extension.SmartcardRequest, os->OwnsRequestBuffer) ||
      !provide(extension.SmartcardReply, os->OwnsReplyBuffer)) {
    release(os, extension);
    return STATUS_INSUFFICIENT_RESOURCES;
  }
  KeInitializeSpinLock(&os->SpinLock);
  KeInitializeEvent(&os->CallbackLock, SynchronizationEvent, TRUE);
  KeInitializeSpinLock(&os->RemoveLockGuard);
  KeInitializeEvent(&os->RemoveLock.RemoveEvent, NotificationEvent, FALSE);
  InitializeListHead(&os->RemoveLock.TagList);

  // A zero-filled extension would say PTS_TYPE_DEFAULT, which forbids the
  // faster rate before the card was ever asked.
  extension.CardCapabilities.PtsData.Type = PTS_TYPE_OPTIMAL;
  t1::reset(*T1Session(extension), 0);
  extension.OsData = os;
  return STATUS_SUCCESS;
}

void SmartcardExit(PSMARTCARD_EXTENSION SmartcardExtension) {
  PAGED_CODE();
  if (SmartcardExtension == nullptr || SmartcardExtension->OsData == nullptr)
    return;
  auto &extension = *SmartcardExtension;
  POS_DEP_DATA os = extension.OsData;
  KIRQL irql;
  KeAcquireSpinLock(&os->RemoveLockGuard, &irql);
  const LONG holders = os->RemoveLock.RefCount;
  KeReleaseSpinLock(&os->RemoveLockGuard, irql);
  if (holders > 0)
    report_misuse("SmartcardExit while " + std::to_string(holders) +
                      " remove lock acquisition(s) are not released",
                  __builtin_return_address(0),
                  talvor::kernel::FindingKind::RemoveLockImbalance);
  if (os->NotificationIrp != nullptr)
    report_misuse("SmartcardExit with a card-tracking request still pending",
                  __builtin_return_address(0));
  extension.OsData = nullptr;
  release(os, extension);
}

NTSTATUS SmartcardAcquireRemoveLock(PSMARTCARD_EXTENSION SmartcardExtension) {
  if (SmartcardExtension == nullptr || SmartcardExtension->OsData == nullptr) {
    report_misuse("SmartcardAcquireRemoveLock before SmartcardInitialize or "
                  "after SmartcardExit",
                  __builtin_return_address(0));
    return STATUS_DELETE_PENDING;
  }
  POS_DEP_DATA os = SmartcardExtension->OsData;
  KIRQL irql;
  KeAcquireSpinLock(&os->RemoveLockGuard, &irql);
  NTSTATUS status = STATUS_DELETE_PENDING;
  if (!os->RemoveLock.Removed) {
    ++os->RemoveLock.RefCount;
    status = STATUS_SUCCESS;
  }
  KeReleaseSpinLock(&os->RemoveLockGuard, irql);
  return status;
}

void SmartcardReleaseRemoveLock(PSMARTCARD_EXTENSION SmartcardExtension) {
  if (SmartcardExtension == nullptr || SmartcardExtension->OsData == nullptr) {
    report_misuse("SmartcardReleaseRemoveLock before SmartcardInitialize or "
                  "after SmartcardExit",
                  __builtin_return_address(0));
    return;
  }
  POS_DEP_DATA os = SmartcardExtension->OsData;
  KIRQL irql;
  KeAcquireSpinLock(&os->RemoveLockGuard, &irql);
  const bool balanced = os->RemoveLock.RefCount > 0;
  if (balanced && --os->RemoveLock.RefCount == 0 && os->RemoveLock.Removed)
    KeSetEvent(&os->RemoveLock.RemoveEvent, IO_NO_INCREMENT, FALSE);
  KeReleaseSpinLock(&os->RemoveLockGuard, irql);
  if (!balanced)
    report_misuse("SmartcardReleaseRemoveLock without a matching acquisition",
                  __builtin_return_address(0),
                  talvor::kernel::FindingKind::RemoveLockImbalance);
}

void SmartcardReleaseRemoveLockAndWait(
    PSMARTCARD_EXTENSION SmartcardExtension) {
  PAGED_CODE();
  if (SmartcardExtension == nullptr || SmartcardExtension->OsData == nullptr) {
    report_misuse("SmartcardReleaseRemoveLockAndWait before "
                  "SmartcardInitialize or after SmartcardExit",
                  __builtin_return_address(0));
    return;
  }
  POS_DEP_DATA os = SmartcardExtension->OsData;
  KIRQL irql;
  KeAcquireSpinLock(&os->RemoveLockGuard, &irql);
  os->RemoveLock.Removed = TRUE;
  // The caller's own acquisition is the one given back here; without it,
  // another holder's would be, and removal would not wait for that one.
  const bool held = os->RemoveLock.RefCount > 0;
  if (held)
    --os->RemoveLock.RefCount;
  const bool others = os->RemoveLock.RefCount > 0;
  if (!others)
    KeSetEvent(&os->RemoveLock.RemoveEvent, IO_NO_INCREMENT, FALSE);
  KeReleaseSpinLock(&os->RemoveLockGuard, irql);
  if (!held)
    report_misuse("SmartcardReleaseRemoveLockAndWait without an acquisition "
                  "of the caller's",
                  __builtin_return_address(0),
                  talvor::kernel::FindingKind::RemoveLockImbalance);
  if (others)
    KeWaitForSingleObject(&os->RemoveLock.RemoveEvent, Executive, KernelMode,
                          FALSE, nullptr);
}

void SmartcardLogError(PVOID Object, NTSTATUS ErrorCode,
                       PUNICODE_STRING Insertion, ULONG DumpWord) {
  if (Object == nullptr)
    return;
  constexpr std::size_t kPacket = sizeof(IO_ERROR_LOG_PACKET);
  constexpr std::size_t kTerminator = sizeof(WCHAR);
  // The insertion string, cut to what fits an entry, with its zero.
  std::size_t text_bytes = 0;
  if (Insertion != nullptr && Insertion->Buffer != nullptr)
    text_bytes = std::min<std::size_t>(
        Insertion->Length & ~std::size_t{1},
        (ERROR_LOG_MAXIMUM_SIZE - kPacket - kTerminator) & ~std::size_t{1});
  const bool has_text = Insertion != nullptr && Insertion->Buffer != nullptr;
  const std::size_t size = kPacket + (has_text ? text_bytes + kTerminator : 0);
  auto packet = static_cast<PIO_ERROR_LOG_PACKET>(
      IoAllocateErrorLogEntry(Object, static_cast<UCHAR>(size)));
  if (packet == nullptr)
    return;
  packet->ErrorCode = ErrorCode;
  if (DumpWord != 0) {
    packet->DumpDataSize = sizeof(ULONG);
    packet->DumpData[0] = DumpWord;
  }
  if (has_text) {
    auto bytes = reinterpret_cast<PUCHAR>(packet);
    packet->NumberOfStrings = 1;
    packet->StringOffset = static_cast<USHORT>(kPacket);
    std::memcpy(bytes + kPacket, Insertion->Buffer, text_bytes);
    std::memset(bytes + kPacket + text_bytes, 0, kTerminator);
  }
  IoWriteErrorLogEntry(packet);
}

} // extern "C"
