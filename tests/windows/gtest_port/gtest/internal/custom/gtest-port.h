// GoogleTest's hook for a platform's own primitives, found before Debian's empty one.
// The win32 thread model of mingw-w64's GCC 12 has no std::mutex or std::condition_variable,
// which GoogleTest's Notification is built on; everything else it needs on Windows it builds
// on Win32 itself. Only GoogleTest's own thread tests wait on a Notification.
#pragma once

#include <atomic>

#define GTEST_HAS_NOTIFICATION_ 1

namespace testing {
namespace internal {

class Notification {
 public:
  Notification() : notified_(false) {}
  Notification(const Notification&) = delete;
  Notification& operator=(const Notification&) = delete;

  void Notify() { notified_.store(true); }
  void WaitForNotification() {
    while (!notified_.load()) {
    }
  }

 private:
  std::atomic<bool> notified_;
};

}  // namespace internal
}  // namespace testing
