// The driver's handles in the context it runs in: a recovery restarts the
// card presence thread from a request's thread, which runs in the
// requesting application's process.
#include <gtest/gtest.h>

#include "platform/kernel/application.h"
#include "tests/driver/driver_fixture.h"

namespace talvor::test {
namespace {

class ContextTest : public DriverTest {};

TEST_F(ContextTest, ThreadRestartedInARequestKeepsItsHandleOutOfTheProcess) {
  run([&] {
    build();
    start_with_thread();
    UscrStopCardThread(ext_);
    {
      kernel::Application app;
      kernel::Application::Context in_request = app.enter();
      SCAbortAndRestart(fdo_, "restart\n");
      EXPECT_NE(ext_->ThreadObject, nullptr);
      EXPECT_FALSE(ext_->ThreadShouldStop);
    }
    // The thread outlives the process it was started from.
    settle();
    EXPECT_EQ(KeReadStateEvent(&ext_->ThreadStopped), 0);
    EXPECT_TRUE(kernel().verifier().empty());
    tear_down();
  });
}

// A thread that a stop or a removal ended stays ended: the recovery of a
// request still sends HOST ABORT but starts no thread that would outlive
// the device.
TEST_F(ContextTest, RecoveryDoesNotRestartAThreadAStopEnded) {
  run([&] {
    build();
    start_with_thread();
    ext_->ThreadRestartBlocked = TRUE;
    UscrStopCardThread(ext_);
    kernel().trace().clear();
    SCAbortAndRestart(fdo_, "restart\n");
    EXPECT_EQ(commands(READER_HOST_ABORT).size(), 1u);
    EXPECT_FALSE(kernel().trace().contains("restart"));
    EXPECT_EQ(ext_->ThreadObject, nullptr);
    EXPECT_TRUE(ext_->ThreadShouldStop);
    tear_down();
  });
}

} // namespace
} // namespace talvor::test
