#include <pthread.h>
#include <signal.h>

#include "platform/thread.h"

namespace kelvaro::platform {

bool Thread::Start(Body body, void* context) {
  static_assert(sizeof(pthread_t) <= sizeof native_, "the thread handle does not fit");
  body_ = body;
  context_ = context;
  sigset_t all;
  sigset_t previous;
  sigfillset(&all);
  pthread_sigmask(SIG_SETMASK, &all, &previous);
  pthread_t thread;
  running_ = pthread_create(
                 &thread, nullptr,
                 [](void* self) -> void* {
                   RunBody(self);
                   return nullptr;
                 },
                 this) == 0;
  pthread_sigmask(SIG_SETMASK, &previous, nullptr);
  if (running_) *reinterpret_cast<pthread_t*>(native_) = thread;
  return running_;
}

void Thread::RunBody(void* self) {
  Thread& thread = *static_cast<Thread*>(self);
  thread.body_(thread.context_);
}

void Thread::Join() {
  if (!running_) return;
  pthread_join(*reinterpret_cast<pthread_t*>(native_), nullptr);
  running_ = false;
}

}  // namespace kelvaro::platform
