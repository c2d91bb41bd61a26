// Phase 7: eight lenses that stream all three axes while a thread per lens moves them at
// random: timed moves, jogs left to their deadman, stops, close and reopen, and on one lens
// unplug and replug. Motors move at once (speed 0), so what a lens held at any moment is the
// last move it received: every streamed value and every step is judged against the lens's
// own log of the frames it received.
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <deque>
#include <memory>
#include <random>
#include <thread>

#include "lens_sim.h"
#include "line_log.h"
#include "soak.h"

namespace soak {

namespace {

using lenssim::Bytes;
using lenssim::Fault;
using std::chrono::milliseconds;

constexpr int kLenses = 8;
constexpr unsigned kAllAxes = 7;

struct LensPlan {
  double rate_hz;  // 0: as fast as the line goes
  int framing;
  bool faults;  // random line faults, one action at a time
  int baud;     // 0: as fast as the pseudo-terminal goes
  bool replug;  // watched with reopen, behind a link, unplugged now and then
};

// Lenses 0 and 1 are the fault-free 60 Hz ones whose grid is judged; the timed framing's
// 100 ms a read cannot keep 60 Hz, so lens 7's grid is not judged. Rate-0 lenses run at a
// serial line's speed: the driver keeps up with their streams, and on two cores they leave
// the 60 Hz lenses' exchanges room to keep their grid.
const LensPlan kPlans[kLenses] = {
    {60, KELVARO_FRAMING_FRAME, false, 0, false},     {60, KELVARO_FRAMING_FRAME, false, 0, false},
    {60, KELVARO_FRAMING_FRAME, true, 0, false},      {0, KELVARO_FRAMING_FRAME, false, 9600, false},
    {0, KELVARO_FRAMING_TIMED, false, 38400, false},  {0, KELVARO_FRAMING_TIMED, true, 38400, false},
    {0, KELVARO_FRAMING_FRAME, true, 9600, true},    {60, KELVARO_FRAMING_TIMED, true, 0, false},
};

// A lens's log stamps a frame the moment it came in, on the lens's thread; the library's
// sample times are taken on the host's. Both are the monotonic clock.
constexpr double kSlackS = 0.005;
// After the deadman, a step already decided may still be on its way for one step period.
constexpr auto kDeadmanSlack = milliseconds(25);

double Seconds(Clock::time_point t) { return std::chrono::duration<double>(t.time_since_epoch()).count(); }

struct Tally {
  long samples = 0, fresh_values = 0, grid_samples = 0;
  long gaps = 0, time_backwards = 0, grid_missed = 0, grid_busy = 0, foreign_values = 0;
  long moves = 0, moves_refused = 0, moves_judged = 0, moves_unfinished = 0, targets_missed = 0, steps = 0,
       backward_steps = 0;
  long stops = 0, moving_after_stop = 0;
  long jogs = 0, renewals = 0, jog_steps = 0, steps_after_deadman = 0;
  long stats_checks = 0, stats_off = 0, repeats_allowed = 0;
  long cycles = 0, reopen_failed = 0, replugs = 0, replugs_lost = 0;

  void Add(const Tally& o) {
    samples += o.samples; fresh_values += o.fresh_values; grid_samples += o.grid_samples; gaps += o.gaps; grid_busy += o.grid_busy;
    time_backwards += o.time_backwards; grid_missed += o.grid_missed; foreign_values += o.foreign_values;
    moves += o.moves; moves_refused += o.moves_refused; moves_judged += o.moves_judged;
    moves_unfinished += o.moves_unfinished; targets_missed += o.targets_missed; steps += o.steps;
    backward_steps += o.backward_steps; stops += o.stops; moving_after_stop += o.moving_after_stop; jogs += o.jogs;
    renewals += o.renewals; jog_steps += o.jog_steps; steps_after_deadman += o.steps_after_deadman;
    stats_checks += o.stats_checks; stats_off += o.stats_off; repeats_allowed += o.repeats_allowed;
    cycles += o.cycles; reopen_failed += o.reopen_failed; replugs += o.replugs; replugs_lost += o.replugs_lost;
  }
};

// A move frame the lens received: the position it then held.
struct Held {
  double at;
  std::uint16_t value;
};

class MotionDriver {
 public:
  MotionDriver(int index, const Library& lib, lenssim::Simulator& sim, LineLog& log, std::string port,
               std::uint32_t seed)
      : index_(index), plan_(kPlans[index]), lib_(lib), sim_(sim), log_(log), port_(std::move(port)), random_(seed) {
    const lenssim::LensState state = sim_.State();
    base_ = {static_cast<std::uint16_t>(state.iris >> 4), static_cast<std::uint16_t>(state.zoom >> 4),
             static_cast<std::uint16_t>(state.focus >> 4)};
  }

  bool Open() {
    kelvaro_options o{};
    o.framing = plan_.framing;
    o.watch = plan_.replug ? 1 : 0;
    o.reopen = plan_.replug ? 1 : 0;
    Collect();
    received_ = 0;
    const int code = lib_.kelvaro_open(port_.c_str(), &o, &lens_);
    if (code != KELVARO_OK) {
      Evidence("phase 7: lens %d: kelvaro_open gave %d", index_, code);
      lens_ = nullptr;
      return false;
    }
    StartStream();
    return true;
  }

  void Close() {
    if (lens_ == nullptr) return;
    lib_.kelvaro_close(lens_);
    lens_ = nullptr;
  }

  void Run(Clock::time_point end) {
    auto next_replug = Clock::now() + milliseconds(Random(3000, 8000));
    while (lens_ != nullptr && Clock::now() < end) {
      if (plan_.replug && Clock::now() >= next_replug) {
        Replug();
        next_replug = Clock::now() + milliseconds(Random(5000, 10000));
        continue;
      }
      const bool faulty = plan_.faults && PickFaults();
      const int roll = Random(0, 99);
      if (roll < 40) {
        TimedMove();
      } else if (roll < 60) {
        StopDuringMove();
      } else if (roll < 85) {
        Jog();
      } else if (roll < 93) {
        CheckStats();
      } else {
        Cycle();
      }
      if (faulty) {
        sim_.ClearFaults();
        sim_.SetLineFaults({});
      }
    }
    if (lens_ != nullptr) {
      lib_.kelvaro_stop(lens_);
      Pump(50);
    }
  }

  Tally tally;

 private:
  int Random(int low, int high) { return std::uniform_int_distribution<int>(low, high)(random_); }

  void Note(const std::string& what) {
    if (noted_++ < 6) Evidence("phase 7: lens %d: %s", index_, what.c_str());
  }

  // ---- The lens's log -------------------------------------------------------------------

  // Takes in what the lens received: every request counts for kelvaro_stats, every move
  // frame is a position the lens held from then on.
  void Collect() {
    const std::vector<LineEvent> events = log_.Since(0);
    log_.Drop(events.size());
    sim_.ClearReceived();  // the log has them; a long run need not keep them twice
    for (const LineEvent& e : events) {
      if (e.to_host) continue;
      ++received_;
      const Bytes& b = e.bytes;
      requests_.push_back({Seconds(e.at), static_cast<std::uint16_t>(b.size() > 1 ? b[1] : 0)});
      if (b.size() != 5 || b[0] != 2 || b[1] < 0x20 || b[1] > 0x22 || lenssim::Checksum(b.data(), 4) != b[4]) continue;
      const int axis = b[1] - 0x20;
      const Held held{Seconds(e.at), static_cast<std::uint16_t>(((b[2] << 8) | b[3]) >> 4)};
      history_[axis].push_back(held);
      moves_[axis].push_back(held);
    }
    // What no sample still to be judged can reach: all but the last value before then.
    const double old = Seconds(Clock::now()) - 10.0;
    while (!requests_.empty() && requests_.front().at < old + 8.0) requests_.pop_front();
    for (int axis = 0; axis < 3; ++axis) {
      auto& h = history_[axis];
      std::size_t drop = 0;
      while (drop + 1 < h.size() && h[drop + 1].at < old) ++drop;
      if (drop > 0) {
        base_[axis] = h[drop - 1].value;
        h.erase(h.begin(), h.begin() + static_cast<std::ptrdiff_t>(drop));
      }
    }
  }

  // Whether the lens held `value` on `axis` at some moment from `from` to `to`.
  bool HeldBetween(int axis, double from, double to, std::uint16_t value) const {
    const auto& h = history_[axis];
    auto it = std::upper_bound(h.begin(), h.end(), from, [](double t, const Held& e) { return t < e.at; });
    if ((it == h.begin() ? base_[axis] : std::prev(it)->value) == value) return true;
    for (; it != h.end() && it->at <= to; ++it) {
      if (it->value == value) return true;
    }
    return false;
  }

  std::uint16_t HeldNow(int axis) const {
    return history_[axis].empty() ? base_[axis] : history_[axis].back().value;
  }

  // ---- The stream -----------------------------------------------------------------------

  void StartStream() {
    FlushPending();
    last_sequence_ = 0;
    last_time_ = stream_t0_ = lib_.kelvaro_clock();
    last_grid_ = -1;
    const int code = lib_.kelvaro_stream_start(lens_, kAllAxes, plan_.rate_hz);
    if (code != KELVARO_OK) Note(Format("kelvaro_stream_start gave %d", code));
  }

  // Reads every sample waiting and judges those the lens's log is complete for.
  void ReadStream() {
    kelvaro_sample batch[64];
    for (int round = 0; round < 16; ++round) {
      std::size_t count = 0;
      if (lib_.kelvaro_stream_read(lens_, batch, 64, &count) != KELVARO_OK) break;
      pending_.insert(pending_.end(), batch, batch + count);
      if (count < 64) break;
    }
    const double now = Seconds(Clock::now());
    Collect();
    std::size_t judged = 0;
    while (judged < pending_.size() && pending_[judged].time + 2 * kSlackS <= now) Judge(pending_[judged++]);
    pending_.erase(pending_.begin(), pending_.begin() + static_cast<std::ptrdiff_t>(judged));
  }

  // Judges the samples read before the stream ended; the log has long caught up with them.
  void FlushPending() {
    Collect();
    for (const kelvaro_sample& s : pending_) Judge(s);
    pending_.clear();
  }

  void Judge(const kelvaro_sample& s) {
    ++tally.samples;
    if (s.sequence != last_sequence_ + 1) {
      ++tally.gaps;
      Note(Format("sample %u after %u: samples overwritten or out of order", s.sequence, last_sequence_));
    }
    if (s.time < last_time_) {
      ++tally.time_backwards;
      Note(Format("sample %u at %.6f s, before the one before (%.6f s)", s.sequence, s.time, last_time_));
    }
    // Each fresh value was read in this round, which began after the round before ended.
    for (int axis = 0; axis < 3; ++axis) {
      if ((s.fresh & (1u << axis)) == 0) continue;
      ++tally.fresh_values;
      if (!HeldBetween(axis, last_time_ - kSlackS, s.time + kSlackS, s.position[axis])) {
        ++tally.foreign_values;
        Note(Format("sample %u: axis %d value %u, which the lens never held from %.6f to %.6f s (held %u then)",
                    s.sequence, axis, s.position[axis], last_time_, s.time, HeldNow(axis)));
      }
    }
    // Rounds start on the grid; a round kept late by exchanges running slow (steps and host
    // calls go first, and a loaded host can make each take milliseconds) ends past the next
    // grid point, which is then skipped. A grid point skipped while the lens received nothing
    // the whole period, the worker idle, is a sample missed. Judged where nothing on the
    // line should make a round slow.
    if (plan_.rate_hz > 0 && !plan_.faults && plan_.framing == KELVARO_FRAMING_FRAME) {
      const double r = plan_.rate_hz;
      const long grid = static_cast<long>((s.time - stream_t0_) * r);
      ++tally.grid_samples;
      for (long g = last_grid_ + 1; g < grid; ++g) {
        const double from = stream_t0_ + static_cast<double>(g) / r, to = from + 1.0 / r;
        const bool busy = std::any_of(requests_.begin(), requests_.end(),
                                      [&](const Held& q) { return q.at >= from && q.at < to; });
        if (busy) {
          ++tally.grid_busy;
          continue;
        }
        ++tally.grid_missed;
        std::string line;
        for (const Held& q : requests_) {
          if (q.at >= last_time_ - 0.002 && q.at <= s.time + 0.002) {
            line += Format(" %.1f:%02x", (q.at - stream_t0_) * 1000.0, q.value);
          }
        }
        Note(Format("sample %u at %.4f s of its stream (the one before at %.4f s): the round due at %.4f s "
                    "skipped with nothing on the line, during %s; requests received (ms:code):%s",
                    s.sequence, s.time - stream_t0_, last_time_ - stream_t0_, from - stream_t0_, doing_,
                    line.c_str()));
      }
      last_grid_ = std::max(last_grid_, grid);
    }
    if (s.fresh == kAllAxes) ++whole_rounds_;
    last_sequence_ = s.sequence;
    last_time_ = std::max(last_time_, s.time);
  }

  // Waits `ms`, reading the stream as it goes.
  void Pump(int ms) {
    const auto until = Clock::now() + milliseconds(ms);
    do {
      ReadStream();
      SleepMs(std::min<long long>(10, std::max<long long>(0, MillisecondsBetween(Clock::now(), until))));
    } while (Clock::now() < until);
  }

  // Waits up to `ms` for the motion to end, reading the stream; whether it did.
  bool PumpUntilStill(int ms) {
    const auto until = Clock::now() + milliseconds(ms);
    while (lib_.kelvaro_moving(lens_) != 0) {
      if (Clock::now() >= until) return false;
      Pump(5);
    }
    return true;
  }

  // ---- Faults ---------------------------------------------------------------------------

  // Faults touch replies only (a request still takes effect), so the motion is judged on
  // faulty lenses too. Whether any fault was set.
  bool PickFaults() {
    const int roll = Random(0, 99);
    if (roll < 40) return false;
    lenssim::LineFaults line;
    line.seed = static_cast<std::uint32_t>(random_());
    if (roll < 55) {
      line.delay_ms = Random(20, 250);
    } else if (roll < 63) {
      line.silent = true;
    } else if (roll < 78) {
      line.noise = 0.1;
    } else {
      for (int axis = 0; axis < 3; ++axis) {
        const auto function = static_cast<std::uint8_t>(0x30 + axis);
        const int kind = Random(0, 2);
        if (kind == 0) sim_.SetFault(function, Fault::BadChecksum(Random(1, 3)));
        if (kind == 1) sim_.SetFault(function, Fault::Silent(Random(1, 2)));
        if (kind == 2) sim_.SetFault(function, Fault::Delay(Random(50, 700), 1));
      }
    }
    sim_.SetLineFaults(line);
    return true;
  }

  // ---- Actions --------------------------------------------------------------------------

  std::array<int, 3> RandomTargets() {
    std::array<int, 3> targets = {-1, -1, -1};
    while (targets[0] < 0 && targets[1] < 0 && targets[2] < 0) {
      for (int& t : targets) t = Random(0, 2) == 0 ? -1 : Random(0, 4095);
    }
    return targets;
  }

  // A timed move must step each axis straight from where it was to its target and leave it
  // there.
  void TimedMove() {
    doing_ = "a timed move";
    const std::array<int, 3> targets = RandomTargets();
    const unsigned duration = static_cast<unsigned>(Random(200, 2000));
    Collect();
    std::array<std::uint16_t, 3> start{};
    for (int axis = 0; axis < 3; ++axis) {
      start[axis] = HeldNow(axis);
      moves_[axis].clear();
    }
    ++tally.moves;
    const int code = lib_.kelvaro_move_together(lens_, targets.data(), duration, Random(0, 1));
    if (code != KELVARO_OK) {
      ++tally.moves_refused;
      Pump(20);
      return;
    }
    if (!PumpUntilStill(static_cast<int>(duration) + 8000)) {
      ++tally.moves_unfinished;
      Note(Format("a %u ms move still moving %u ms after it began", duration, duration + 8000));
      lib_.kelvaro_stop(lens_);
      Pump(20);
      return;
    }
    Pump(30);
    ++tally.moves_judged;
    const lenssim::LensState state = sim_.State();
    const std::uint16_t now[3] = {static_cast<std::uint16_t>(state.iris >> 4),
                                  static_cast<std::uint16_t>(state.zoom >> 4),
                                  static_cast<std::uint16_t>(state.focus >> 4)};
    for (int axis = 0; axis < 3; ++axis) {
      if (targets[axis] < 0) continue;
      if (now[axis] != targets[axis]) {
        ++tally.targets_missed;
        Note(Format("axis %d ended at %u after a move to %d over %u ms", axis, now[axis], targets[axis], duration));
      }
      const int low = std::min<int>(start[axis], targets[axis]), high = std::max<int>(start[axis], targets[axis]);
      int previous = start[axis];
      const int direction = targets[axis] > start[axis] ? 1 : -1;
      for (const Held& h : moves_[axis]) {
        ++tally.steps;
        if (h.value < low || h.value > high || (h.value - previous) * direction < 0) {
          ++tally.backward_steps;
          Note(Format("axis %d stepped %d -> %u on a move %u -> %d", axis, previous, h.value, start[axis],
                      targets[axis]));
        }
        previous = h.value;
      }
    }
  }

  // Once kelvaro_stop returns, the lens must receive no further move.
  void StopDuringMove() {
    doing_ = "a move ended by kelvaro_stop";
    const std::array<int, 3> targets = RandomTargets();
    ++tally.moves;
    if (lib_.kelvaro_move_together(lens_, targets.data(), static_cast<unsigned>(Random(1000, 2000)), Random(0, 1)) !=
        KELVARO_OK) {
      ++tally.moves_refused;
      Pump(20);
      return;
    }
    Pump(Random(50, 800));
    lib_.kelvaro_stop(lens_);
    const auto stopped = Clock::now();
    const bool still = lib_.kelvaro_moving(lens_) != 0;
    Collect();
    for (auto& m : moves_) m.clear();
    Pump(150);
    ++tally.stops;
    long after = 0;
    for (const auto& m : moves_) {
      for (const Held& h : m) after += h.at > Seconds(stopped);
    }
    if (still || after > 0) {
      ++tally.moving_after_stop;
      Note(Format("after kelvaro_stop: kelvaro_moving %d, %ld moves received in the next 150 ms", still ? 1 : 0, after));
    }
  }

  // A jog renewed a few times and then left: no step once its deadman has passed.
  void Jog() {
    doing_ = "a jog";
    const int axis = Random(0, 2);
    const double speed = (Random(0, 1) == 0 ? -1 : 1) * Random(5, 40) / 100.0;
    const unsigned deadman = static_cast<unsigned>(Random(100, 400));
    Collect();
    moves_[axis].clear();
    ++tally.jogs;
    if (lib_.kelvaro_jog(lens_, axis, speed, deadman) != KELVARO_OK) {
      Pump(20);
      return;
    }
    auto last = Clock::now();
    const int renewals = Random(0, 4);
    for (int i = 0; i < renewals; ++i) {
      Pump(static_cast<int>(deadman) / 2);
      if (lib_.kelvaro_jog(lens_, axis, speed, deadman) == KELVARO_OK) {
        last = Clock::now();
        ++tally.renewals;
      }
    }
    Pump(static_cast<int>(deadman) + 300);
    // A worker busy with a slow read notices the deadman late, but then sends nothing.
    const bool still = !PumpUntilStill(3000);
    const double expired = Seconds(last + milliseconds(deadman) + kDeadmanSlack);
    long after = 0;
    for (const Held& h : moves_[axis]) after += h.at > expired;
    tally.jog_steps += static_cast<long>(moves_[axis].size());
    if (after > 0 || still) {
      ++tally.steps_after_deadman;
      Note(Format("jog of axis %d at %.2f, deadman %u ms: %ld steps after it, kelvaro_moving %d 3 s after it",
                  axis, speed, deadman,
                  after, still ? 1 : 0));
      lib_.kelvaro_stop(lens_);
    }
  }

  // kelvaro_stats counts every exchange once; the lens received each request once, or twice
  // when the library sent it again after a failed read. A fault-free lens: exactly equal.
  void CheckStats() {
    doing_ = "a counter check";
    lib_.kelvaro_stop(lens_);
    ReadStream();
    lib_.kelvaro_stream_stop(lens_);
    SleepMs(150);
    Collect();
    kelvaro_lens_stats stats{};
    const int code = lib_.kelvaro_stats(lens_, &stats);
    Collect();
    unsigned long long sum = 0;
    for (unsigned long long n : stats.by_code) sum += n;
    const long long failed = static_cast<long long>(sum - stats.by_code[0]);
    const long long off = received_ - static_cast<long long>(sum);
    ++tally.stats_checks;
    tally.repeats_allowed += failed;
    // The watched lens's check may have sent its query and not yet counted it.
    const long long in_flight = plan_.replug ? 1 : 0;
    const bool fine =
        code == KELVARO_OK && (plan_.faults ? off <= failed + in_flight && -off <= failed : off == 0);
    if (!fine) {
      ++tally.stats_off;
      Note(Format("kelvaro_stats gave %d: %llu exchanges (%lld failed), the lens received %lld requests", code, sum,
                  failed, received_));
    }
    StartStream();
  }

  // Close while streaming and moving, and open again.
  void Cycle() {
    doing_ = "a close/reopen cycle";
    const std::array<int, 3> targets = RandomTargets();
    lib_.kelvaro_move_together(lens_, targets.data(), static_cast<unsigned>(Random(500, 2000)), Random(0, 1));
    Pump(Random(0, 300));
    ReadStream();
    Close();
    SleepMs(20);
    ++tally.cycles;
    if (!Open()) ++tally.reopen_failed;
  }

  // Unplugged for a while; the stream must come back by itself once the lens is back.
  void Replug() {
    doing_ = "an unplug/replug";
    sim_.HangUp();
    Pump(Random(200, 1500));
    sim_.Replug();
    ++tally.replugs;
    const long before = whole_rounds_;
    const auto until = Clock::now() + milliseconds(6000);
    bool back = false;
    while (!back && Clock::now() < until) {
      Pump(10);
      back = whole_rounds_ > before;
    }
    if (!back) {
      ++tally.replugs_lost;
      Note("the stream did not come back within 6 s of the replug");
    }
  }

  int index_;
  LensPlan plan_;
  const Library& lib_;
  lenssim::Simulator& sim_;
  LineLog& log_;
  std::string port_;
  std::mt19937 random_;
  kelvaro_lens* lens_ = nullptr;
  std::array<std::uint16_t, 3> base_{};
  std::array<std::vector<Held>, 3> history_;
  std::array<std::vector<Held>, 3> moves_;  // since the action under way began
  std::deque<Held> requests_;               // the last two seconds' requests: when, and their code
  long long received_ = 0;                  // requests since the lens was opened
  std::vector<kelvaro_sample> pending_;
  unsigned last_sequence_ = 0;
  double last_time_ = 0, stream_t0_ = 0;
  long last_grid_ = -1;
  long whole_rounds_ = 0;
  const char* doing_ = "the start";  // samples with every axis fresh
  int noted_ = 0;
};

}  // namespace

PhaseResult Motion(const Options& options) {
  const int seconds = options.short_run ? 60 : 600;
  PhaseResult result;
  Library lib;
  if (!LoadForPhase(lib, options, "phase 7 motion", result)) return result;
  Tally total;
  int opened = 0, threads_before = 0, threads_after = 0, fds_before = 0, fds_after = 0;
  const std::string link = options.scratch + "/motion-lens";
  {
    std::vector<std::unique_ptr<LineLog>> logs;
    std::vector<std::unique_ptr<lenssim::Simulator>> sims;
    std::vector<std::unique_ptr<MotionDriver>> drivers;
    bool pointed = true;
    for (int i = 0; i < kLenses; ++i) {
      logs.push_back(std::make_unique<LineLog>());
      sims.push_back(std::make_unique<lenssim::Simulator>());
      lenssim::Simulator& sim = *sims.back();
      lenssim::LensState state = sim.State();
      state.motor_speed = 0;
      sim.SetState(state);
      sim.SetBaud(kPlans[i].baud);
      logs.back()->Attach(sim);
      std::string port = sim.DevicePath();
      if (kPlans[i].replug) {
        pointed = Point(link, port);
        sim.OnReplug([&pointed, link](const std::string& device) { pointed = Point(link, device) && pointed; });
        port = link;
      }
      drivers.push_back(std::make_unique<MotionDriver>(i, lib, sim, *logs.back(), port,
                                                       options.seed * 131u + static_cast<std::uint32_t>(i)));
    }
    threads_before = static_cast<int>(ThreadIds().size());
    fds_before = OpenDescriptors();
    for (auto& driver : drivers) opened += driver->Open();
    const auto end = Clock::now() + std::chrono::seconds(seconds);
    std::vector<std::thread> threads;
    for (auto& driver : drivers) threads.emplace_back([&driver, end] { driver->Run(end); });
    for (std::thread& t : threads) t.join();
    for (auto& driver : drivers) {
      driver->Close();
      total.Add(driver->tally);
    }
    threads_after = SettleTo(threads_before, 3000, [] { return static_cast<int>(ThreadIds().size()); });
    fds_after = SettleTo(fds_before, 3000, [] { return OpenDescriptors(); });
    if (threads_after != threads_before || fds_after != fds_before) {
      Evidence("phase 7: after closing every lens: %d threads (%d before), %d descriptors (%d before)", threads_after,
               threads_before, fds_after, fds_before);
    }
    if (!pointed) Evidence("phase 7: the link %s could not be pointed at the lens", link.c_str());
    for (auto& sim : sims) LineLog::Detach(*sim);
  }
  unlink(link.c_str());
  lib.Unload();

  // A run that never judged a grid, a fresh value, a finished move, a stop, a deadman, the
  // counters, a reopen or a replug tested nothing.
  const bool covered = total.grid_samples > 0 && total.fresh_values > 0 && total.moves_judged > 0 &&
                       total.stops > 0 && total.jog_steps > 0 && total.stats_checks > 0 && total.cycles > 0 &&
                       total.replugs > 0;
  result.pass = opened == kLenses && covered && total.gaps == 0 && total.time_backwards == 0 &&
                total.grid_missed == 0 && total.foreign_values == 0 && total.moves_unfinished == 0 &&
                total.targets_missed == 0 && total.backward_steps == 0 && total.moving_after_stop == 0 &&
                total.steps_after_deadman == 0 && total.stats_off == 0 && total.reopen_failed == 0 &&
                total.replugs_lost == 0 && threads_after == threads_before && fds_after == fds_before;
  result.line = Format(
      "phase 7 motion: %d lenses (4 at 60 Hz, 4 at rate 0; 3 timed framing; 4 with faults) for %d s: %ld samples "
      "(%ld fresh values, %ld on the judged 60 Hz grid): sequence gaps %ld, times backwards %ld, grid points "
      "missed %ld (and %ld skipped behind slow exchanges), values the lens never held %ld; %ld timed moves (%ld refused at their start read, %ld judged, "
      "%ld steps): unfinished %ld, targets missed %ld, backward steps %ld; %ld stops: moving after %ld; %ld jogs "
      "(%ld renewals, %ld steps): steps after the deadman %ld; %ld counter checks (%ld repeats allowed): off %ld; "
      "%ld close/reopen cycles (failed %ld), %ld unplug/replug (stream not back %ld); threads %d -> %d, "
      "descriptors %d -> %d: %s",
      opened, seconds, total.samples, total.fresh_values, total.grid_samples, total.gaps, total.time_backwards,
      total.grid_missed, total.grid_busy, total.foreign_values, total.moves, total.moves_refused, total.moves_judged, total.steps,
      total.moves_unfinished, total.targets_missed, total.backward_steps, total.stops, total.moving_after_stop,
      total.jogs, total.renewals, total.jog_steps, total.steps_after_deadman, total.stats_checks,
      total.repeats_allowed, total.stats_off, total.cycles, total.reopen_failed, total.replugs, total.replugs_lost,
      threads_before, threads_after, fds_before, fds_after, result.pass ? "PASS" : "FAIL");
  result.summary = Format("%ld samples, %ld moves, %ld stops, %ld jogs: gaps %ld, missed %ld, foreign %ld, "
                          "targets missed %ld, after stop %ld, after deadman %ld, counters off %ld",
                          total.samples, total.moves, total.stops, total.jogs, total.gaps, total.grid_missed,
                          total.foreign_values, total.targets_missed, total.moving_after_stop,
                          total.steps_after_deadman, total.stats_off);
  return result;
}

}  // namespace soak
