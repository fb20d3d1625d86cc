// An image the check must refuse, one fault of each kind it reads from the
// image: an import the platform does not provide, a static constructor that
// no driver start-up runs, code in a writable section, and a function with
// no unwind data. It names no registry key, and no INF installs it.

class TimeIncrement {
public:
  TimeIncrement() : value_(KeQueryTimeIncrement()) {}
  ULONG value() const { return value_; }

private:
  ULONG value_;
};

TimeIncrement timeIncrement;

// NoUnwind makes a stack frame that no .pdata entry describes.
asm(".section .wx,\"wx\"\n"
    "\tret\n"
    "\t.text\n"
    "\t.globl NoUnwind\n"
    "\t.def NoUnwind; .scl 2; .type 32; .endef\n"
    "NoUnwind:\n"
    "\tsub $40, %rsp\n"
    "\tadd $40, %rsp\n"
    "\tret\n");

extern "C" NTSTATUS DriverEntry(PDRIVER_OBJECT DriverObject,
                                PUNICODE_STRING RegistryPath) {
  UNREFERENCED_PARAMETER(RegistryPath);
  if (DriverObject == nullptr)
    KeBugCheckEx(0xE2, timeIncrement.value(), 0, 0, 0);
  return STATUS_SUCCESS;
}
