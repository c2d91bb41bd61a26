#include "stop.h"

#ifdef _WIN32
#include <windows.h>

#include <condition_variable>
#include <mutex>
#else
#include <pthread.h>
#include <signal.h>
#include <unistd.h>
#endif

namespace lenssim {

#ifdef _WIN32

namespace {

std::mutex g_mutex;
std::condition_variable g_stopped;
bool g_stop = false;

// Runs on a thread of its own, so it may take the lock.
BOOL WINAPI OnConsoleEvent(DWORD) {
  RequestStop();
  return TRUE;
}

}  // namespace

void PrepareStop() { ::SetConsoleCtrlHandler(OnConsoleEvent, TRUE); }

int WaitForStop() {
  std::unique_lock<std::mutex> lock(g_mutex);
  g_stopped.wait(lock, [] { return g_stop; });
  return 0;
}

void RequestStop() {
  std::lock_guard<std::mutex> lock(g_mutex);
  g_stop = true;
  g_stopped.notify_all();
}

#else

namespace {

sigset_t Stops() {
  sigset_t stops;
  sigemptyset(&stops);
  sigaddset(&stops, SIGINT);
  sigaddset(&stops, SIGTERM);
  sigaddset(&stops, SIGHUP);
  return stops;
}

}  // namespace

void PrepareStop() {
  const sigset_t stops = Stops();
  pthread_sigmask(SIG_BLOCK, &stops, nullptr);
  ::signal(SIGPIPE, SIG_IGN);
}

int WaitForStop() {
  const sigset_t stops = Stops();
  int signal_number = 0;
  sigwait(&stops, &signal_number);
  return signal_number;
}

void RequestStop() { ::kill(::getpid(), SIGTERM); }

#endif

}  // namespace lenssim
