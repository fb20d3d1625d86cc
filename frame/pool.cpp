// The driver's pool: non-paged, tagged "SCS4", every allocation and release
// traced under the buffer's name.
#include "frame/talvor.h"

/*
 * UscrAllocate
 *   A zero-filled block of non-paged pool with the driver's tag.
 * Arguments: the size in bytes; the buffer's name for the trace.
 * Result: the block, or nullptr.  IRQL: <= DISPATCH_LEVEL.
 */
PVOID UscrAllocate(ULONG Size, PCSTR Name) {
  PVOID buffer = ExAllocatePoolWithTag(NonPagedPool, Size, USCR_POOL_TAG);
  if (buffer != nullptr) {
    RtlZeroMemory(buffer, Size);
    DbgPrint(USCR_TILDES "(%s=%X)(%X) ExAllocatePool+++\n", Name,
             static_cast<ULONG>(reinterpret_cast<ULONG_PTR>(buffer)), Size);
  }
  return buffer;
}

/*
 * UscrFree
 *   Gives a block from UscrAllocate back.
 * Arguments: the block; its name for the trace.
 * Result: none.  IRQL: <= DISPATCH_LEVEL.
 */
void UscrFree(PVOID Buffer, PCSTR Name) {
  ExFreePool(Buffer);
  DbgPrint(USCR_TILDES "(%s) ExFreePool---\n", Name);
}
