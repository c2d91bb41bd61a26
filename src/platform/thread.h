// A thread of the library's own. It takes no signals (they stay with the host's threads),
// and on Windows it holds a reference to the DLL until its very last instruction, so the
// code cannot be unmapped under it. Starting it is an allocation, so it happens only where
// the interface says so (opening a watched lens, loading the library).
#pragma once

namespace kelvaro::platform {

class Thread {
 public:
  using Body = void (*)(void* context);

  Thread() = default;
  Thread(const Thread&) = delete;
  Thread& operator=(const Thread&) = delete;

  // Runs body(context) on a new thread. False if the system refuses.
  bool Start(Body body, void* context);
  // Waits for the body to return (not from within it); nothing to do if none was started.
  void Join();
  bool Running() const { return running_; }
  // In a child made by fork(): the thread was not copied, there is nothing to join.
  void Forget() { running_ = false; }
  // What the platform's thread entry runs: body(context).
  static void RunBody(void* self);

 private:
  Body body_ = nullptr;
  void* context_ = nullptr;
  bool running_ = false;
  alignas(8) unsigned char native_[16];  // the platform's thread handle
};

}  // namespace kelvaro::platform
