// Work items: each runs in a system worker thread of its own, holding a
// reference on its device object until the routine returns.
#include "platform/kernel/iomgr_records.h"
#include "platform/kernel/irql.h"
#include "platform/kernel/kernel.h"
#include "platform/kernel/scheduler.h"

namespace talvor::kernel {

namespace {

constexpr ULONG kWorkItemTag = make_pool_tag("IoWk");

} // namespace

PIO_WORKITEM IoManager::allocate_work_item(PDEVICE_OBJECT device,
                                           const void *site) {
  auto *item = static_cast<PIO_WORKITEM>(allocate(16, kWorkItemTag, site));
  if (item == nullptr)
    return nullptr;
  auto *record = new WorkItem;
  record->device = device;
  record->manager = this;
  std::lock_guard guard(io_lock_);
  work_items_[item] = record;
  return item;
}

void IoManager::free_work_item(PIO_WORKITEM item, const void *site) {
  {
    std::lock_guard guard(io_lock_);
    auto found = work_items_.find(item);
    if (found == work_items_.end()) {
      report(FindingKind::ObjectMisuse,
             "IoFreeWorkItem of an unknown work item", site);
      return;
    }
    if (found->second->queued) {
      report(FindingKind::ObjectMisuse,
             "IoFreeWorkItem of a work item still queued", site);
      return;
    }
    delete found->second;
    work_items_.erase(found);
  }
  release(item, site);
}

void IoManager::queue_work_item(PIO_WORKITEM item, PIO_WORKITEM_ROUTINE routine,
                                PVOID context, const void *site) {
  WorkItem *record;
  {
    std::lock_guard guard(io_lock_);
    auto found = work_items_.find(item);
    if (found == work_items_.end() || found->second->queued) {
      report(FindingKind::ObjectMisuse,
             "IoQueueWorkItem of an unknown or already queued work item", site);
      return;
    }
    record = found->second;
    record->queued = true;
    record->routine = routine;
    record->context = context;
  }
  reference_device(record->device);
  // A system worker thread of its own: the routine may wait.
  kernel_.scheduler().start_kernel_thread(run_work_item, record);
}

void IoManager::run_work_item(PVOID context) {
  auto *record = static_cast<WorkItem *>(context);
  PDEVICE_OBJECT device = record->device;
  IoManager *manager = record->manager;
  PIO_WORKITEM_ROUTINE routine = record->routine;
  PVOID routine_context = record->context;
  {
    // The routine may free its own work item: it is no longer queued.
    std::lock_guard guard(manager->io_lock_);
    record->queued = false;
  }
  RoutineEntry entry = enter_routine();
  routine(device, routine_context);
  check_routine_return(entry, "work item",
                       reinterpret_cast<const void *>(routine));
  manager->dereference_device(device);
}

} // namespace talvor::kernel
