// Phase 6: what the library's checks cost while the host does nothing: 64 flat checks on an
// open port and 64 watched lenses, every lens answering. Then one lens falls silent, and the
// others' checks must still come on time: each lens's requests are stamped as they arrive. The simulated lenses run in this
// process too, so the time is taken per thread: the lenses' threads are the ones that
// appeared when they were made, and everything else but the soak's own thread is the
// library's.
#include <algorithm>
#include <iterator>
#include <map>
#include <memory>
#include <mutex>

#include "lens_sim.h"
#include "soak.h"

namespace soak {

namespace {

constexpr int kFlatChecks = 64;
constexpr int kWatchedLenses = KELVARO_MAX_LENSES;
constexpr double kTargetPercent = 0.5;
constexpr double kLateTargetMs = 50;
constexpr double kCheckPeriodMs = 1000;

// When each lens received its requests, from the simulators' server threads.
class Arrivals {
 public:
  explicit Arrivals(std::size_t lenses) : times_(lenses) {}
  void Record(std::size_t lens) {
    const std::lock_guard<std::mutex> lock(mutex_);
    times_[lens].push_back(Clock::now());
  }
  // The latest any check of lenses [first, end) came: the largest gap between two of one
  // lens's requests beyond the check period, in ms; -1 when no lens had two.
  double LatestMs(std::size_t first) {
    const std::lock_guard<std::mutex> lock(mutex_);
    double latest = -1;
    for (std::size_t i = first; i < times_.size(); ++i) {
      for (std::size_t k = 1; k < times_[i].size(); ++k) {
        const double gap = std::chrono::duration<double, std::milli>(times_[i][k] - times_[i][k - 1]).count();
        latest = std::max(latest, gap - kCheckPeriodMs);
      }
    }
    return latest;
  }

 private:
  std::mutex mutex_;
  std::vector<std::vector<Clock::time_point>> times_;
};

std::set<pid_t> Minus(const std::set<pid_t>& a, const std::set<pid_t>& b) {
  std::set<pid_t> rest;
  std::set_difference(a.begin(), a.end(), b.begin(), b.end(), std::inserter(rest, rest.end()));
  return rest;
}

}  // namespace

PhaseResult IdleCpu(const Options& options) {
  const int seconds = options.short_run ? 5 : 10;
  PhaseResult result;
  Library lib;
  if (!LoadForPhase(lib, options, "phase 6 idle CPU", result)) return result;
  const pid_t me = ThisThreadId();
  double library_percent = -1, lens_percent = 0, process_percent = 0, latest_check_ms = -1;
  long flat_checks = 0, lens_checks = 0;
  std::size_t library_threads = 0;
  bool ready = false, steady = true;
  const double load = LoadAverage();
  {
    const std::set<pid_t> before_lenses = ThreadIds();
    std::vector<std::unique_ptr<lenssim::Simulator>> sims;
    for (int i = 0; i <= kWatchedLenses; ++i) {
      sims.push_back(std::make_unique<lenssim::Simulator>());
      lenssim::LensState state = sims.back()->State();
      state.motor_speed = 0;
      sims.back()->SetState(state);
    }
    lenssim::Simulator& flat_lens = *sims.back();
    const std::set<pid_t> lens_threads = Minus(ThreadIds(), before_lenses);

    for (int i = 0; i < kFlatChecks; ++i) lib.InitializeLensControl();
    int code = lib.OpenComPort(flat_lens.DevicePath().c_str());
    if (code != KELVARO_OK) Evidence("phase 6: OpenComPort gave %d", code);
    std::vector<kelvaro_lens*> lenses;
    for (int i = 0; i < kWatchedLenses; ++i) {
      kelvaro_options o{};
      o.watch = 1;
      kelvaro_lens* lens = nullptr;
      const int opened = lib.kelvaro_open(sims[i]->DevicePath().c_str(), &o, &lens);
      if (opened == KELVARO_OK) {
        lenses.push_back(lens);
      } else {
        Evidence("phase 6: kelvaro_open of lens %d gave %d", i, opened);
      }
    }
    ready = code == KELVARO_OK && static_cast<int>(lenses.size()) == kWatchedLenses &&
            WaitUntil(4000, [&] {
              for (kelvaro_lens* lens : lenses) {
                if (lib.kelvaro_is_connected(lens) != 1) return false;
              }
              return true;
            }) &&
            WaitUntil(4000, [&] { return lib.IsAutoConnected() == 1; });
    if (!ready) Evidence("phase 6: not every lens was connected by its check");
    SleepMs(500);

    const std::set<pid_t> threads = ThreadIds();
    std::set<pid_t> library_set = Minus(threads, lens_threads);
    library_set.erase(me);
    library_threads = library_set.size();
    std::map<pid_t, long long> start_ns;
    for (pid_t tid : threads) start_ns[tid] = ThreadCpuNs(tid);
    for (auto& sim : sims) sim->ClearReceived();
    const long long process_start = ProcessCpuNs();
    const auto wall_start = Clock::now();

    SleepMs(seconds * 1000LL);

    const double wall_ns = std::chrono::duration<double, std::nano>(Clock::now() - wall_start).count();
    const long long process_ns = ProcessCpuNs() - process_start;
    long long library_ns = 0, lens_ns = 0;
    for (pid_t tid : threads) {
      const long long now = ThreadCpuNs(tid);
      if (now < 0 || start_ns[tid] < 0) {
        steady = false;  // a thread ended in the middle: its time is not known
        continue;
      }
      if (lens_threads.count(tid) != 0) {
        lens_ns += now - start_ns[tid];
      } else if (tid != me) {
        library_ns += now - start_ns[tid];
      }
    }
    if (ThreadIds() != threads) steady = false;
    for (int i = 0; i < kWatchedLenses; ++i) lens_checks += static_cast<long>(sims[i]->Received().size());
    flat_checks = static_cast<long>(flat_lens.Received().size());
    library_percent = 100.0 * static_cast<double>(library_ns) / wall_ns;
    lens_percent = 100.0 * static_cast<double>(lens_ns) / wall_ns;
    process_percent = 100.0 * static_cast<double>(process_ns) / wall_ns;

    // One lens falls silent; the others' checks must not wait for its time-outs.
    Arrivals arrivals(static_cast<std::size_t>(kWatchedLenses));
    for (int i = 0; i < kWatchedLenses; ++i) {
      sims[i]->SetTrace([&arrivals, i](lenssim::Direction direction, const lenssim::Bytes&) {
        if (direction == lenssim::Direction::kToLens) arrivals.Record(static_cast<std::size_t>(i));
      });
    }
    sims[0]->SetFault(0x31, lenssim::Fault::Silent());
    sims[0]->SetFault(0x01, lenssim::Fault::Silent());
    SleepMs(seconds * 1000LL);
    for (auto& sim : sims) sim->SetTrace({});
    latest_check_ms = arrivals.LatestMs(1);

    for (kelvaro_lens* lens : lenses) lib.kelvaro_close(lens);
    lib.CloseComPort();
  }
  lib.Unload();
  if (!steady) Evidence("phase 6: the threads changed during the measurement");

  // Checks that did not run would cost nothing: the lenses must have been asked all along.
  const bool checked = lens_checks >= static_cast<long>(kWatchedLenses) * (seconds - 1) && flat_checks >= seconds;
  if (!checked) {
    Evidence("phase 6: too few checks reached the lenses (flat %ld, watched %ld)", flat_checks, lens_checks);
  }
  const bool on_time = latest_check_ms >= 0 && latest_check_ms <= kLateTargetMs;
  if (!on_time) Evidence("phase 6: with one lens silent, another's check came %.1f ms late", latest_check_ms);
  result.pass = ready && steady && checked && on_time && library_percent >= 0 && library_percent < kTargetPercent;
  result.line = Format(
      "phase 6 idle CPU: %d flat checks on an open port and %d watched lenses for %d s (load average %.2f): "
      "library %.3f%% of one core in its %zu threads; simulated lenses %.3f%%, whole process %.3f%%; requests "
      "the checks sent: flat %ld, watched %ld; with one lens silent, the latest check of another %.1f ms late: %s",
      kFlatChecks, kWatchedLenses, seconds, load, library_percent, library_threads, lens_percent, process_percent,
      flat_checks, lens_checks, latest_check_ms, result.pass ? "PASS" : "FAIL");
  result.summary = Format(
      "library %.3f%% of one core (target < %.1f%%), whole process with the lenses %.3f%%; one lens silent, "
      "others' checks at most %.1f ms late (target %.0f)",
      library_percent, kTargetPercent, process_percent, latest_check_ms, kLateTargetMs);
  return result;
}

}  // namespace soak
