#include <dirent.h>
#include <dlfcn.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <time.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <thread>

#include "soak.h"

namespace soak {

namespace {

// dlsym gives an object pointer; the function pointer is copied out bit for bit.
template <typename Function>
bool Resolve(void* handle, const char* name, Function& function, std::string& error) {
  void* symbol = dlsym(handle, name);
  if (symbol == nullptr) {
    error = std::string("no ") + name + " in the library";
    return false;
  }
  static_assert(sizeof function == sizeof symbol, "a function pointer must fit an object pointer");
  std::memcpy(&function, &symbol, sizeof function);
  return true;
}

}  // namespace

bool Library::Load(const std::string& path, std::string& error) {
  handle = dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL);
  if (handle == nullptr) {
    const char* why = dlerror();
    error = why != nullptr ? why : "dlopen failed";
    return false;
  }
  const bool all = Resolve(handle, "InitializeLensControl", InitializeLensControl, error) &&
                   Resolve(handle, "IsAutoConnected", IsAutoConnected, error) &&
                   Resolve(handle, "OpenComPort", OpenComPort, error) &&
                   Resolve(handle, "CloseComPort", CloseComPort, error) &&
                   Resolve(handle, "kelvaro_open", kelvaro_open, error) &&
                   Resolve(handle, "kelvaro_close", kelvaro_close, error) &&
                   Resolve(handle, "kelvaro_is_connected", kelvaro_is_connected, error) &&
                   Resolve(handle, "kelvaro_position", kelvaro_position, error) &&
                   Resolve(handle, "kelvaro_result_text", kelvaro_result_text, error) &&
                   Resolve(handle, "kelvaro_clock", kelvaro_clock, error) &&
                   Resolve(handle, "kelvaro_stream_start", kelvaro_stream_start, error) &&
                   Resolve(handle, "kelvaro_stream_stop", kelvaro_stream_stop, error) &&
                   Resolve(handle, "kelvaro_stream_read", kelvaro_stream_read, error) &&
                   Resolve(handle, "kelvaro_move_together", kelvaro_move_together, error) &&
                   Resolve(handle, "kelvaro_jog", kelvaro_jog, error) &&
                   Resolve(handle, "kelvaro_stop", kelvaro_stop, error) &&
                   Resolve(handle, "kelvaro_moving", kelvaro_moving, error) &&
                   Resolve(handle, "kelvaro_stats", kelvaro_stats, error);
  if (!all) Unload();
  return all;
}

void Library::Unload() {
  if (handle != nullptr) dlclose(handle);
  *this = Library{};
}

bool Library::Resident(const std::string& path) {
  void* again = dlopen(path.c_str(), RTLD_NOW | RTLD_NOLOAD);
  if (again == nullptr) return false;
  dlclose(again);  // only the reference NOLOAD just took
  return true;
}

int OpenDescriptors() {
  int count = 0;
  if (DIR* dir = opendir("/proc/self/fd")) {
    while (const dirent* entry = readdir(dir)) {
      if (entry->d_name[0] != '.') ++count;
    }
    closedir(dir);
  }
  return count;
}

std::set<pid_t> ThreadIds() {
  std::set<pid_t> ids;
  if (DIR* dir = opendir("/proc/self/task")) {
    while (const dirent* entry = readdir(dir)) {
      if (entry->d_name[0] != '.') ids.insert(static_cast<pid_t>(std::atoi(entry->d_name)));
    }
    closedir(dir);
  }
  return ids;
}

pid_t ThisThreadId() { return static_cast<pid_t>(syscall(SYS_gettid)); }

long long ThreadCpuNs(pid_t tid) {
  // The kernel's CPU clock of one thread, as pthread_getcpuclockid makes it, for threads the
  // soak did not start and so has no pthread_t for: per-thread, scheduler-precise.
  const clockid_t clock = static_cast<clockid_t>((~static_cast<unsigned>(tid) << 3) | 6u);
  timespec used{};
  if (clock_gettime(clock, &used) == 0) return used.tv_sec * 1000000000LL + used.tv_nsec;
  // Without that clock: the scheduler's own account of the thread.
  std::ifstream stat("/proc/self/task/" + std::to_string(tid) + "/schedstat");
  long long ns = -1;
  if (stat >> ns) return ns;
  return -1;
}

long long ProcessCpuNs() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  const auto ns = [](const timeval& t) { return t.tv_sec * 1000000000LL + t.tv_usec * 1000LL; };
  return ns(usage.ru_utime) + ns(usage.ru_stime);
}

double LoadAverage() {
  std::ifstream load("/proc/loadavg");
  double one = -1;
  load >> one;
  return one;
}

double SecondsSince(Clock::time_point start) {
  return std::chrono::duration<double>(Clock::now() - start).count();
}

long long MillisecondsBetween(Clock::time_point from, Clock::time_point to) {
  return std::chrono::duration_cast<std::chrono::milliseconds>(to - from).count();
}

bool LoadForPhase(Library& lib, const Options& options, const char* phase, PhaseResult& result) {
  std::string error;
  if (lib.Load(options.library, error)) return true;
  result.line = std::string(phase) + ": cannot load the library: " + error;
  result.summary = "not run";
  return false;
}

bool Point(const std::string& link, const std::string& device) {
  const std::string aside = link + ".new";
  unlink(aside.c_str());
  return symlink(device.c_str(), aside.c_str()) == 0 && rename(aside.c_str(), link.c_str()) == 0;
}

void SleepMs(long long ms) {
  if (ms > 0) std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

std::string Format(const char* format, ...) {
  char buffer[1024];
  va_list arguments;
  va_start(arguments, format);
  std::vsnprintf(buffer, sizeof buffer, format, arguments);
  va_end(arguments);
  return buffer;
}

void Evidence(const char* format, ...) {
  char buffer[2048];
  va_list arguments;
  va_start(arguments, format);
  std::vsnprintf(buffer, sizeof buffer, format, arguments);
  va_end(arguments);
  std::fprintf(stderr, "soak: %s\n", buffer);
  std::fflush(stderr);
}

}  // namespace soak
