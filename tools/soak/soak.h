// kelvaro-soak: long runs of the library against simulated lenses, each phase reduced to a
// line of figures and a verdict. Shared pieces of the phases.
#pragma once

#include <sys/types.h>
#include <time.h>

#include <chrono>
#include <cstdint>
#include <set>
#include <string>
#include <vector>

#include "kelvaro.h"

namespace soak {

using Clock = std::chrono::steady_clock;

struct Options {
  bool short_run = false;
  std::string library;  // libKelvaro32.so to dlopen
  std::string ser2net;  // the ser2net program
  std::string scratch;  // a private directory for links and configuration files
  std::uint32_t seed = 1;
  int trace_lens = -1;  // phase 3: every exchange of this lens, with its line, on standard error
};

// What a phase hands back: one line of figures, the few figures the summary repeats, and
// whether every target of the phase held.
struct PhaseResult {
  bool pass = false;
  std::string line;
  std::string summary;
};

// The library, loaded with dlopen so that a phase can load and unload it, never linked in.
struct Library {
  void* handle = nullptr;
  decltype(&::InitializeLensControl) InitializeLensControl = nullptr;
  decltype(&::IsAutoConnected) IsAutoConnected = nullptr;
  decltype(&::OpenComPort) OpenComPort = nullptr;
  decltype(&::CloseComPort) CloseComPort = nullptr;
  decltype(&::kelvaro_open) kelvaro_open = nullptr;
  decltype(&::kelvaro_close) kelvaro_close = nullptr;
  decltype(&::kelvaro_is_connected) kelvaro_is_connected = nullptr;
  decltype(&::kelvaro_position) kelvaro_position = nullptr;
  decltype(&::kelvaro_result_text) kelvaro_result_text = nullptr;
  decltype(&::kelvaro_clock) kelvaro_clock = nullptr;
  decltype(&::kelvaro_stream_start) kelvaro_stream_start = nullptr;
  decltype(&::kelvaro_stream_stop) kelvaro_stream_stop = nullptr;
  decltype(&::kelvaro_stream_read) kelvaro_stream_read = nullptr;
  decltype(&::kelvaro_move_together) kelvaro_move_together = nullptr;
  decltype(&::kelvaro_jog) kelvaro_jog = nullptr;
  decltype(&::kelvaro_stop) kelvaro_stop = nullptr;
  decltype(&::kelvaro_moving) kelvaro_moving = nullptr;
  decltype(&::kelvaro_stats) kelvaro_stats = nullptr;

  // dlopen and look up every function; false with `error` set when anything is missing.
  bool Load(const std::string& path, std::string& error);
  // dlclose; the pointers are cleared.
  void Unload();
  // Whether the image is still mapped in the process (dlopen with RTLD_NOLOAD).
  static bool Resident(const std::string& path);
};

// Loads the library for a phase ("phase 3 faults"); when it cannot, `result` says so and
// the phase is not run.
bool LoadForPhase(Library& lib, const Options& options, const char* phase, PhaseResult& result);

// ---- The process, seen from /proc --------------------------------------------------------

int OpenDescriptors();
std::set<pid_t> ThreadIds();
pid_t ThisThreadId();
// CPU time a thread of this process has used, in nanoseconds; -1 when it is gone.
long long ThreadCpuNs(pid_t tid);
// User plus system time of the whole process, in nanoseconds.
long long ProcessCpuNs();
// The host's 1-minute load average, for context.
double LoadAverage();

// Waits until `count()` equals `wanted` or `wait_ms` passes; returns the last count seen.
// Threads that were joined can linger in /proc for a moment, which is not a leak.
template <typename Count>
int SettleTo(int wanted, int wait_ms, Count count) {
  const auto until = Clock::now() + std::chrono::milliseconds(wait_ms);
  int seen = count();
  while (seen != wanted && Clock::now() < until) {
    struct timespec pause = {0, 10 * 1000 * 1000};
    nanosleep(&pause, nullptr);
    seen = count();
  }
  return seen;
}

// ---- Small helpers -----------------------------------------------------------------------

double SecondsSince(Clock::time_point start);
long long MillisecondsBetween(Clock::time_point from, Clock::time_point to);
void SleepMs(long long ms);
// Re-points `link` at `device` in one step, as udev moves a by-id link.
bool Point(const std::string& link, const std::string& device);
// Polls `ready` every 2 ms until it holds or `wait_ms` passes.
template <typename Ready>
bool WaitUntil(int wait_ms, Ready ready) {
  const auto until = Clock::now() + std::chrono::milliseconds(wait_ms);
  for (;;) {
    if (ready()) return true;
    if (Clock::now() >= until) return false;
    SleepMs(2);
  }
}
std::string Format(const char* format, ...) __attribute__((format(printf, 1, 2)));
// Evidence for a failed figure, on standard error.
void Evidence(const char* format, ...) __attribute__((format(printf, 1, 2)));

// ---- The phases --------------------------------------------------------------------------

PhaseResult OpenCloseCycles(const Options& options);   // 1
PhaseResult LoadUnloadCycles(const Options& options);  // 2
PhaseResult FaultyLenses(const Options& options);      // 3
PhaseResult UnplugReplug(const Options& options);      // 4
PhaseResult Ser2netRestarts(const Options& options);   // 5
PhaseResult IdleCpu(const Options& options);           // 6
PhaseResult Motion(const Options& options);            // 7

}  // namespace soak
