#include "platform/kernel/kernel.h"

#include <atomic>
#include <cstdio>
#include <cstdlib>

#include "platform/kernel/scheduler.h"

namespace talvor::kernel {

namespace {
// The kernel of this process. Set and cleared only by the Kernel itself.
std::atomic<Kernel *> the_kernel{nullptr};

bool env_flag(const char *name) {
  const char *value = std::getenv(name);
  return value != nullptr && *value != '\0' && *value != '0';
}
} // namespace

Kernel::Kernel(Options options)
    : options_(options), time_increment_(options.time_increment),
      wdm_major_(options.wdm_major), wdm_minor_(options.wdm_minor),
      verifier_(std::make_unique<Verifier>()),
      trace_(std::make_unique<Trace>()),
      pool_(std::make_unique<Pool>(*verifier_,
                                   options.clock == Clock::Simulation)),
      registry_(std::make_unique<Registry>()),
      io_(std::make_unique<IoManager>(*this)),
      scheduler_(new Scheduler(*this, options_)) {
  trace_->set_echo(options.echo_trace || env_flag("TALVOR_TRACE"));
  Kernel *expected = nullptr;
  if (!the_kernel.compare_exchange_strong(expected, this)) {
    std::fprintf(stderr, "talvor kernel: a second kernel in one process\n");
    std::abort();
  }
}

Kernel::~Kernel() {
  check_teardown();
  if (scheduler_->prepare_destruction())
    delete scheduler_;
  // else: abandoned threads sleep on the scheduler's locks for good.
  the_kernel.store(nullptr);
}

Kernel *Kernel::current() {
  return the_kernel.load();
}

Kernel &Kernel::get() {
  Kernel *kernel = the_kernel.load();
  if (kernel == nullptr) {
    std::fprintf(stderr, "talvor kernel: no kernel in this process; create "
                         "a talvor::kernel::Kernel first\n");
    std::abort();
  }
  return *kernel;
}

RunResult Kernel::run(std::function<void()> body, std::string name) {
  return scheduler_->run(std::move(body), std::move(name));
}

void Kernel::check_teardown() {
  if (torn_down_)
    return;
  torn_down_ = true;
  io_->check_teardown();
  scheduler_->check_teardown();
  pool_->check_leaks();
}

std::uint64_t Kernel::now() const {
  return scheduler_->now();
}

std::uint64_t Kernel::system_time() const {
  return system_epoch() + now();
}

void Kernel::set_wdm_version(UCHAR major, UCHAR minor) {
  wdm_major_ = major;
  wdm_minor_ = minor;
}

bool Kernel::wdm_version_available(UCHAR major, UCHAR minor) const {
  return major < wdm_major_ || (major == wdm_major_ && minor <= wdm_minor_);
}

void Kernel::fail_thread_creation(unsigned count) {
  scheduler_->fail_thread_creation(count);
}

} // namespace talvor::kernel
