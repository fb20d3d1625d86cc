// The executive's pool routines, as wdm.h declares them: each forwards to the
// kernel's pool with the caller's IRQL and return address, so that findings
// name the driver routine that allocated or freed.
#include <wdm.h>

#include "platform/kernel/kernel.h"
#include "platform/kernel/pool.h"

namespace {

// ExAllocatePool's blocks carry this tag, as on Windows.
constexpr ULONG kUntaggedPoolTag = talvor::kernel::make_pool_tag("None");

} // namespace

// Allocates NumberOfBytes of PoolType pool with Tag; the bytes are not
// zeroed. Returns NULL when the pool refuses. IRQL <= DISPATCH_LEVEL
// (<= APC_LEVEL for paged pool).
extern "C" PVOID ExAllocatePoolWithTag(POOL_TYPE PoolType, SIZE_T NumberOfBytes,
                                       ULONG Tag) {
  return talvor::kernel::Kernel::get().pool().allocate(
      PoolType, NumberOfBytes, Tag, KeGetCurrentIrql(),
      __builtin_return_address(0));
}

// ExAllocatePoolWithTag with the tag 'None'.
extern "C" PVOID ExAllocatePool(POOL_TYPE PoolType, SIZE_T NumberOfBytes) {
  return talvor::kernel::Kernel::get().pool().allocate(
      PoolType, NumberOfBytes, kUntaggedPoolTag, KeGetCurrentIrql(),
      __builtin_return_address(0));
}

// Frees a block; Tag must be the one it was allocated with. IRQL <=
// DISPATCH_LEVEL (<= APC_LEVEL for a paged block).
extern "C" void ExFreePoolWithTag(PVOID P, ULONG Tag) {
  talvor::kernel::Kernel::get().pool().free(P, Tag, KeGetCurrentIrql(),
                                            __builtin_return_address(0));
}

// Frees a block whatever its tag.
extern "C" void ExFreePool(PVOID P) {
  talvor::kernel::Kernel::get().pool().free(P, std::nullopt, KeGetCurrentIrql(),
                                            __builtin_return_address(0));
}
