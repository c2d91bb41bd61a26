#include "platform/thread.h"

#define WIN32_LEAN_AND_MEAN
#include <windows.h>

namespace kelvaro::platform {
namespace {

// Any address inside this module names it.
void ModuleMarker() {}

// The thread's reference to the DLL, taken in Start, is let go by its very last call.
DWORD WINAPI Entry(void* self) {
  Thread::RunBody(self);
  HMODULE module = nullptr;
  GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                     reinterpret_cast<LPCSTR>(&ModuleMarker), &module);
  FreeLibraryAndExitThread(module, 0);
}

}  // namespace

void Thread::RunBody(void* self) {
  Thread& thread = *static_cast<Thread*>(self);
  thread.body_(thread.context_);
}

bool Thread::Start(Body body, void* context) {
  static_assert(sizeof(HANDLE) <= sizeof native_, "the thread handle does not fit");
  body_ = body;
  context_ = context;
  HMODULE self = nullptr;
  if (!GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS, reinterpret_cast<LPCSTR>(&ModuleMarker), &self)) {
    return false;
  }
  HANDLE thread = CreateThread(nullptr, 0, Entry, this, 0, nullptr);
  if (thread == nullptr) {
    FreeLibrary(self);
    return false;
  }
  *reinterpret_cast<HANDLE*>(native_) = thread;
  running_ = true;
  return true;
}

void Thread::Join() {
  if (!running_) return;
  HANDLE thread = *reinterpret_cast<HANDLE*>(native_);
  WaitForSingleObject(thread, INFINITE);
  CloseHandle(thread);
  running_ = false;
}

}  // namespace kelvaro::platform
