// A scope-exit guard: driver code's stand-in for a termination handler. The
// clean-up runs on every way out of the scope unless dismissed.
#pragma once

template <typename F> class ScopeExit {
public:
  explicit ScopeExit(F f) : f_(static_cast<F &&>(f)) {}
  ~ScopeExit() {
    if (armed_)
      f_();
  }
  ScopeExit(const ScopeExit &) = delete;
  ScopeExit &operator=(const ScopeExit &) = delete;
  void Dismiss() { armed_ = false; }

private:
  F f_;
  bool armed_ = true;
};

#define USCR_CONCAT_(a, b) a##b
#define USCR_CONCAT(a, b) USCR_CONCAT_(a, b)
// SCOPE_EXIT { ExFreePool(p); };
#define SCOPE_EXIT                                                             \
  auto USCR_CONCAT(scopeExit_, __LINE__) = ScopeExitMaker() + [&]()

struct ScopeExitMaker {
  template <typename F> ScopeExit<F> operator+(F f) {
    return ScopeExit<F>(static_cast<F &&>(f));
  }
};
