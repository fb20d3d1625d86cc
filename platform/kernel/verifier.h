// The verifier's record of driver bugs. Every check in the hosted kernel
// reports here; a test fails on any finding it did not expect.
#pragma once

#include <cstddef>
#include <mutex>
#include <string>
#include <vector>

namespace talvor::kernel {

enum class FindingKind {
  PoolLeak,
  PoolDoubleFree,
  PoolUnknownFree,
  PoolTagMismatch,
  PoolCorruption,
  PoolAtRaisedIrql,
  PoolBadRequest,
  WaitAtDispatchLevel,
  SpinLockHeldAcrossWait,
  SpinLockOrderInversion,
  SpinLockMisuse,
  IrqlMisuse,
  PageableAtRaisedIrql,
  ThreadRunningAtTeardown,
  ObjectReferenceLeak,
  ObjectMisuse,
  UninitializedObject,
  AssertionFailed,
  IrpCompletedTwice,
  IrpMisuse,
  IrpLeftPending,
  DeviceMisuse,
  DeviceLeak,
  RemoveLockImbalance,
};

const char *to_string(FindingKind kind);

struct Finding {
  FindingKind kind;
  std::string message; // what went wrong, with the objects involved
  std::string site;    // where: the routine that called into the kernel
};

std::string to_string(const Finding &finding);

// Names the routine that contains a code address ("Routine+0x1c"), for
// findings and deadlock reports. Test and tool executables export their
// symbols so that this works for code linked into them too.
std::string describe_code_address(const void *address);
std::string format_address(const void *address); // "0x7f..."
// Names the routine that starts at `address` (a start routine, say).
std::string describe_routine(const void *address);

class Verifier {
public:
  void report(FindingKind kind, std::string message, std::string site = {});

  std::vector<Finding> findings() const;
  // Returns the findings and forgets them: for tests that plant a bug.
  std::vector<Finding> take();
  std::size_t count(FindingKind kind) const;
  bool empty() const;

  // Findings are also written to stderr as they happen (default on), so a
  // failing run shows them in order with the trace.
  void set_echo(bool echo);

private:
  mutable std::mutex findings_lock_; // guards findings_ and echo_
  std::vector<Finding> findings_;
  bool echo_ = true;
};

} // namespace talvor::kernel
