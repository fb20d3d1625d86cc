// The event log: entries drivers allocate, fill and write, kept in the
// order written.
#include <algorithm>
#include <cstddef>
#include <cstring>

#include "platform/kernel/iomgr_records.h"
#include "platform/kernel/kernel.h"
#include "platform/kernel/utf16.h"

namespace talvor::kernel {

namespace {

constexpr ULONG kErrorLogTag = make_pool_tag("IoEr");

} // namespace

PVOID IoManager::allocate_error_log_entry(PVOID io_object, UCHAR size,
                                          const void *site) {
  if (io_object == nullptr || size < sizeof(IO_ERROR_LOG_PACKET) ||
      size > ERROR_LOG_MAXIMUM_SIZE)
    return nullptr;
  void *entry = allocate(size, kErrorLogTag, site);
  if (entry == nullptr)
    return nullptr;
  std::memset(entry, 0, size);
  auto *record = new LogEntry;
  record->size = size;
  std::lock_guard guard(io_lock_);
  auto *maybe_device = static_cast<PDEVICE_OBJECT>(io_object);
  auto *maybe_driver = static_cast<PDRIVER_OBJECT>(io_object);
  if (DeviceRecord *device = record_of(maybe_device))
    record->object =
        device->name.empty() ? format_address(io_object) : device->name;
  else if (auto driver = drivers_.find(maybe_driver); driver != drivers_.end())
    record->object = driver->second.substr(0, driver->second.find('\n'));
  else
    record->object = format_address(io_object);
  log_entries_[entry] = record;
  return entry;
}

void IoManager::write_error_log_entry(PVOID entry, const void *site) {
  LogEntry *record;
  {
    std::lock_guard guard(io_lock_);
    auto found = log_entries_.find(entry);
    if (found == log_entries_.end()) {
      report(FindingKind::ObjectMisuse,
             "IoWriteErrorLogEntry of an entry that was not allocated", site);
      return;
    }
    record = found->second;
    log_entries_.erase(found);
  }
  const auto *packet = static_cast<const IO_ERROR_LOG_PACKET *>(entry);
  const auto *bytes = static_cast<const unsigned char *>(entry);
  ErrorLogEntry written;
  written.device = record->object;
  written.error_code = packet->ErrorCode;
  written.final_status = packet->FinalStatus;
  written.unique_error_value = packet->UniqueErrorValue;
  written.major_function = packet->MajorFunctionCode;
  written.time = kernel_.now();
  // Lengths come from the driver: stay inside the entry.
  std::size_t dump_offset = offsetof(IO_ERROR_LOG_PACKET, DumpData);
  std::size_t dump_bytes =
      std::min<std::size_t>(packet->DumpDataSize, record->size - dump_offset);
  for (std::size_t i = 0; i + sizeof(ULONG) <= dump_bytes; i += sizeof(ULONG)) {
    ULONG value;
    std::memcpy(&value, bytes + dump_offset + i, sizeof value);
    written.dump_data.push_back(value);
  }
  std::size_t offset = packet->StringOffset;
  for (USHORT n = 0; n < packet->NumberOfStrings && offset < record->size;
       ++n) {
    std::u16string text;
    while (offset + 1 < record->size) {
      char16_t unit;
      std::memcpy(&unit, bytes + offset, sizeof unit);
      offset += sizeof unit;
      if (unit == 0)
        break;
      text.push_back(unit);
    }
    written.strings.push_back(utf16_to_utf8(text));
  }
  delete record;
  {
    std::lock_guard guard(io_lock_);
    error_log_.push_back(std::move(written));
  }
  release(entry, site);
}

void IoManager::free_error_log_entry(PVOID entry, const void *site) {
  {
    std::lock_guard guard(io_lock_);
    auto found = log_entries_.find(entry);
    if (found == log_entries_.end()) {
      report(FindingKind::ObjectMisuse,
             "IoFreeErrorLogEntry of an entry that was not allocated", site);
      return;
    }
    delete found->second;
    log_entries_.erase(found);
  }
  release(entry, site);
}

std::vector<ErrorLogEntry> IoManager::error_log() const {
  std::lock_guard guard(io_lock_);
  return error_log_;
}

} // namespace talvor::kernel
