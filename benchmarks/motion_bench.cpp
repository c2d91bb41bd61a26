// How the library's position streams and motion keep time, against the simulated lens on a
// pseudo-terminal paced at 38400 baud: the rate of a stream that reads as fast as the line
// goes, how close its sample times lie to the reply bytes they stand for, the jitter of a
// 60 Hz stream, when the steps of a timed move and of a jog reach the lens, and (for
// comparison) the rate at full pseudo-terminal speed.
//
// The simulator stamps, on kelvaro_clock()'s clock, the last byte of each reply as it leaves
// and each request as the lens hears it; the figures set those beside the library's.
//
// Usage: kelvaro_motion_bench [--quick]   (--quick: shorter streams, for a try)
#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <mutex>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "bench_stats.h"
#include "kelvaro.h"
#include "lens_sim.h"

namespace {

using bench::Percentile;
using bench::Verdict;

constexpr int kBaud = 38400;
constexpr unsigned kThreeAxes = (1u << KELVARO_IRIS) | (1u << KELVARO_ZOOM) | (1u << KELVARO_FOCUS);
// A position query and its reply: 3 + 5 bytes of 10 bits.
constexpr double kByteTime = 10.0 / kBaud;
constexpr int kQueryBytes = 3;
constexpr int kReplyBytes = 5;
constexpr std::uint8_t kIrisQuery = 0x30;   // the first read of a round of three axes
constexpr std::uint8_t kFocusQuery = 0x32;  // and the last
constexpr std::uint8_t kFirstMove = 0x20;   // 0x20 + axis

void Sleep(double seconds) { std::this_thread::sleep_for(std::chrono::duration<double>(seconds)); }

// A simulated lens that stamps what it sends and hears, on the library's clock.
class Lens {
 public:
  struct Event {
    double time;
    bool reply;  // its last byte left; else a request heard
    std::uint8_t function;
    int position;  // of a move
  };

  explicit Lens(int baud) {
    simulator_.SetBaud(baud);
    // Both hooks run on the simulator's thread, so the events are in the order they happened.
    simulator_.OnReplySent([this](std::uint8_t function) { Add({kelvaro_clock(), true, function, 0}); });
    simulator_.SetTrace([this](lenssim::Direction direction, const lenssim::Bytes& frame) {
      if (direction != lenssim::Direction::kToLens || frame.size() < 3) return;
      Add({kelvaro_clock(), false, frame[1], frame.size() == 5 ? ((frame[2] << 8) | frame[3]) >> 4 : 0});
    });
  }
  Lens(const Lens&) = delete;
  Lens& operator=(const Lens&) = delete;

  const std::string& Path() const { return simulator_.DevicePath(); }
  // Motors that stop at once at the positions given (0 to 4095).
  void Place(int iris, int zoom, int focus) {
    lenssim::LensState state = simulator_.State();
    state.iris = static_cast<std::uint16_t>(iris << 4);
    state.zoom = static_cast<std::uint16_t>(zoom << 4);
    state.focus = static_cast<std::uint16_t>(focus << 4);
    state.motor_speed = 0;
    simulator_.SetState(state);
  }
  void Forget() {
    std::lock_guard<std::mutex> lock(mutex_);
    events_.clear();
  }
  std::vector<Event> Events() {
    std::lock_guard<std::mutex> lock(mutex_);
    return events_;
  }
  // Those of `function`: replies, or requests heard.
  std::vector<Event> Only(bool reply, std::uint8_t function) {
    std::vector<Event> events = Events();
    events.erase(std::remove_if(events.begin(), events.end(),
                                [&](const Event& e) { return e.reply != reply || e.function != function; }),
                 events.end());
    return events;
  }

 private:
  void Add(const Event& event) {
    std::lock_guard<std::mutex> lock(mutex_);
    events_.push_back(event);
  }

  std::mutex mutex_;
  std::vector<Event> events_;
  lenssim::Simulator simulator_;  // last member: its thread, which calls the hooks, stops first
};

void Check(int code, const char* call) {
  if (code != KELVARO_OK) throw std::runtime_error(std::string(call) + ": " + kelvaro_result_text(code));
}

using Handle = std::unique_ptr<kelvaro_lens, int (*)(kelvaro_lens*)>;

Handle Open(const Lens& lens) {
  kelvaro_lens* handle = nullptr;
  Check(kelvaro_open(lens.Path().c_str(), nullptr, &handle), "kelvaro_open");
  return Handle(handle, kelvaro_close);
}

// The samples of a stream of three axes over `seconds`, read as they come; *start is the
// clock just before the stream started.
std::vector<kelvaro_sample> Stream(kelvaro_lens* lens, double rate_hz, double seconds, double* start) {
  std::vector<kelvaro_sample> samples;
  *start = kelvaro_clock();
  Check(kelvaro_stream_start(lens, kThreeAxes, rate_hz), "kelvaro_stream_start");
  while (kelvaro_clock() - *start < seconds) {
    kelvaro_sample sample{};
    if (kelvaro_stream_wait(lens, &sample, 100) == KELVARO_OK) samples.push_back(sample);
  }
  kelvaro_stream_stop(lens);
  return samples;
}

double Rate(const std::vector<kelvaro_sample>& samples) {
  if (samples.size() < 2) return 0.0;
  return static_cast<double>(samples.size() - 1) / (samples.back().time - samples.front().time);
}

// Milliseconds, as "p50 / p99 / max".
std::string Spread(const std::vector<double>& ms) {
  char text[64];
  std::snprintf(text, sizeof text, "%.3f / %.3f / %.3f ms", Percentile(ms, 0.5), Percentile(ms, 0.99),
                ms.empty() ? 0.0 : *std::max_element(ms.begin(), ms.end()));
  return text;
}

void Row(const char* key, const std::string& what, const std::string& value, const std::string& goal = "",
         const char* verdict = "") {
  std::printf("(%s) %-47s %-38s %-18s %s\n", key, what.c_str(), value.c_str(), goal.c_str(), verdict);
  std::fflush(stdout);
}

std::string Format(const char* format, double a, double b = 0.0, double c = 0.0) {
  char text[96];
  std::snprintf(text, sizeof text, format, a, b, c);
  return text;
}

double Ease(double x) {
  x = std::clamp(x, 0.0, 1.0);
  return 3 * x * x - 2 * x * x * x;
}

// (1) and (2): a stream as fast as the line goes, and how its times lie to the replies.
void RateZero(Lens& lens, kelvaro_lens* handle, double seconds) {
  const double limit = 1.0 / (3 * (kQueryBytes + kReplyBytes) * kByteTime);
  const double goal = 0.95 * limit;
  lens.Forget();
  double start = 0.0;
  const std::vector<kelvaro_sample> samples = Stream(handle, 0.0, seconds, &start);
  const double rate = Rate(samples);
  Row("1", Format("rate-0 stream, 3 axes, %.0f s; limit %.0f/s", seconds, limit),
      Format("%.1f samples/s (%.1f %% of limit)", rate, 100 * rate / limit), Format(">= %.0f/s (95 %%)", goal),
      Verdict(rate >= goal));

  // Where an exchange's time beyond the line goes: from a reply's last byte until the lens
  // hears the next request, and from a request heard until its reply's last byte left.
  const std::vector<Lens::Event> events = lens.Events();
  std::vector<double> turnaround;
  std::vector<double> answer;
  for (std::size_t k = 1; k < events.size(); ++k) {
    const Lens::Event& before = events[k - 1];
    const Lens::Event& event = events[k];
    if (before.time < start || event.reply == before.reply) continue;
    if (event.reply) {
      answer.push_back((event.time - before.time - kReplyBytes * kByteTime) * 1e3);
    } else {
      turnaround.push_back((event.time - before.time - kQueryBytes * kByteTime) * 1e3);
    }
  }
  Row("1", "  beyond the line: reply to next request", Spread(turnaround));
  Row("1", "  beyond the line: request to its reply", Spread(answer));

  // Sequence n is the stream's n-th round, whose last reply is the n-th focus reply.
  std::vector<double> ends;
  for (const Lens::Event& reply : lens.Only(true, kFocusQuery)) {
    if (reply.time >= start) ends.push_back(reply.time);
  }
  std::vector<double> lags;
  for (const kelvaro_sample& sample : samples) {
    if (sample.fresh == kThreeAxes && sample.sequence <= ends.size()) {
      lags.push_back((sample.time - ends[sample.sequence - 1]) * 1e3);
    }
  }
  Row("2", Format("sample time - last reply byte, %.0f samples", static_cast<double>(lags.size())),
      "p50/p99/max " + Spread(lags), "p99 <= 0.5 ms", Verdict(!lags.empty() && Percentile(lags, 0.99) <= 0.5));
}

// (3): interval jitter of a 60 Hz stream, and the rounds it lost.
void SixtyHertz(Lens& lens, kelvaro_lens* handle, double seconds) {
  constexpr double kRate = 60.0;
  lens.Forget();
  double start = 0.0;
  const std::vector<kelvaro_sample> samples = Stream(handle, kRate, seconds, &start);
  std::vector<double> jitter;
  unsigned gaps = 0;
  for (std::size_t i = 1; i < samples.size(); ++i) {
    const unsigned step = samples[i].sequence - samples[i - 1].sequence;
    gaps += step - 1;
    if (step == 1) jitter.push_back(std::fabs(samples[i].time - samples[i - 1].time - 1 / kRate) * 1e3);
  }
  // A round takes a few ms of its 16.7, so the grid point a sample's round started on is the
  // last one before its time; those beyond one a round were skipped.
  long slipped = 0;
  if (!samples.empty()) {
    const auto point = static_cast<long>(std::floor((samples.back().time - start) * kRate));
    slipped = point - static_cast<long>(samples.back().sequence - 1);
  }
  Row("3", Format("60 Hz stream, 3 axes, %.0f s, %.0f samples", seconds, static_cast<double>(samples.size())),
      "jitter " + Spread(jitter), "p99 <= 1 ms", Verdict(!jitter.empty() && Percentile(jitter, 0.99) <= 1.0));
  Row("3", "  samples missed: sequence gaps, slipped rounds", Format("%.0f, %.0f", gaps, static_cast<double>(slipped)),
      "0, 0", Verdict(gaps == 0 && slipped == 0));
  // Where the jitter comes from: the lens hears a round's first request 3 byte times after
  // the library wrote it, ideally right after a grid point.
  std::vector<double> heard;
  for (const Lens::Event& request : lens.Only(false, kIrisQuery)) {
    if (request.time < start) continue;
    const double since = request.time - start;
    heard.push_back((since - std::floor(since * kRate) / kRate) * 1e3);
  }
  Row("3", "  round's first request heard after grid point", Spread(heard), "(line: 0.781 ms)");
}

// Waits (up to `seconds`) until no motion runs, then for its last frames to reach the lens.
void Settle(kelvaro_lens* handle, double seconds) {
  for (const double until = kelvaro_clock() + seconds; kelvaro_moving(handle) && kelvaro_clock() < until;) Sleep(0.005);
  Sleep(0.1);
}

// (4): a timed move of three axes over 2 s.
void MoveTogether(Lens& lens, kelvaro_lens* handle) {
  constexpr double kDuration = 2.0;
  const int from[3] = {100, 3995, 300};
  const int targets[3] = {3995, 100, 3800};
  lens.Place(from[0], from[1], from[2]);
  lens.Forget();
  Check(kelvaro_move_together(handle, targets, static_cast<unsigned>(kDuration * 1e3), KELVARO_EASE_IN_OUT),
        "kelvaro_move_together");
  const double start = kelvaro_clock();
  Settle(handle, kDuration + 1.0);

  double last[3] = {};
  double deviation[3] = {};
  bool backwards = false;
  bool arrived = true;
  std::size_t steps = 0;
  int previous[3] = {from[0], from[1], from[2]};
  for (const Lens::Event& move : lens.Events()) {
    if (move.reply || move.function < kFirstMove || move.function >= kFirstMove + 3) continue;
    const int axis = move.function - kFirstMove;
    const int direction = targets[axis] > from[axis] ? 1 : -1;
    backwards = backwards || (move.position - previous[axis]) * direction < 0;
    previous[axis] = move.position;
    last[axis] = move.time;
    const double curve = from[axis] + (targets[axis] - from[axis]) * Ease((move.time - start) / kDuration);
    deviation[axis] = std::max(deviation[axis], std::fabs(move.position - curve));
    ++steps;
  }
  for (int axis = 0; axis < 3; ++axis) arrived = arrived && previous[axis] == targets[axis];

  const double first = *std::min_element(last, last + 3);
  const double final = *std::max_element(last, last + 3);
  const double late = std::max(std::fabs(first - start - kDuration), std::fabs(final - start - kDuration));
  Row("4", Format("move_together, 3 axes over 2 s, %.0f steps", static_cast<double>(steps)),
      Format("last steps %+.1f / %+.1f / %+.1f ms from 2 s", (last[0] - start - kDuration) * 1e3,
             (last[1] - start - kDuration) * 1e3, (last[2] - start - kDuration) * 1e3));
  Row("4", "  spread of the three last steps", Format("%.3f ms", (final - first) * 1e3), "<= 25 ms",
      Verdict(final - first <= 0.025));
  Row("4", "  farthest last step from start + 2 s", Format("%.3f ms", late * 1e3), "<= 50 ms", Verdict(late <= 0.050));
  Row("4", "  steps backwards; every axis at its target", backwards ? "some" : "none", "none, yes",
      Verdict(!backwards && arrived));
  Row("4", "  largest step off the curve (iris/zoom/focus)",
      Format("%.1f / %.1f / %.1f positions", deviation[0], deviation[1], deviation[2]));
}

// (5): a jog whose renewals stop; its steps should stop a deadman later.
void Jog(Lens& lens, kelvaro_lens* handle) {
  constexpr unsigned kDeadmanMs = 200;
  constexpr int kRenewals = 5;
  lens.Place(2048, 1000, 2048);
  lens.Forget();
  double renewed = 0.0;
  for (int i = 0; i < kRenewals; ++i) {
    if (i > 0) Sleep(0.1);
    renewed = kelvaro_clock();  // before the call: the deadman cannot count from earlier
    Check(kelvaro_jog(handle, KELVARO_ZOOM, 0.25, kDeadmanMs), "kelvaro_jog");
  }
  Settle(handle, 1.0);
  const std::vector<Lens::Event> moves = lens.Only(false, kFirstMove + KELVARO_ZOOM);
  if (moves.empty()) throw std::runtime_error("the jog sent no step");
  const double over = (moves.back().time - renewed) * 1e3 - kDeadmanMs;
  Row("5", Format("jog, deadman %.0f ms renewed %.0f times, %.0f steps", kDeadmanMs, kRenewals,
                  static_cast<double>(moves.size())),
      Format("last step %+.3f ms after the deadman", over), "<= 25 ms", Verdict(over <= 25.0));
}

}  // namespace

int main(int argc, char** argv) {
  const bool quick = argc > 1 && std::strcmp(argv[1], "--quick") == 0;
  if (argc > 1 && !quick) {
    std::fprintf(stderr, "usage: kelvaro_motion_bench [--quick]\n");
    return 2;
  }
  const double rate_zero_s = quick ? 1.0 : 5.0;
  const double sixty_s = quick ? 2.0 : 10.0;

  std::printf("Against the simulated lens on a pseudo-terminal at %d baud (8N1); %u CPUs.\n", kBaud,
              std::thread::hardware_concurrency());
  std::printf("Percentiles p50 / p99 / max; times on kelvaro_clock() (CLOCK_MONOTONIC). \"Beyond the line\":\n"
              "from a reply's last byte until the lens hears the next request (library, pty and the\n"
              "simulator's read), less the request's 3 byte times; from a request heard until its\n"
              "reply's last byte left (the simulator), less the reply's 5 byte times.\n\n");
  std::printf("    %-47s %-38s %-18s %s\n", "", "value", "goal", "");
  try {
    {
      Lens lens(kBaud);
      Handle handle = Open(lens);
      RateZero(lens, handle.get(), rate_zero_s);
      SixtyHertz(lens, handle.get(), sixty_s);
      MoveTogether(lens, handle.get());
      Jog(lens, handle.get());
    }
    {
      Lens lens(0);
      Handle handle = Open(lens);
      double start = 0.0;
      const double rate = Rate(Stream(handle.get(), 0.0, rate_zero_s, &start));
      Row("6", Format("rate-0 stream, 3 axes, %.0f s, full pty speed", rate_zero_s), Format("%.0f samples/s", rate));
    }
  } catch (const std::exception& error) {
    std::fprintf(stderr, "kelvaro_motion_bench: %s\n", error.what());
    return 1;
  }
  return 0;
}
