#include "lens_sim.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <condition_variable>
#include <cstdio>
#include <deque>
#include <map>
#include <optional>
#include <random>
#include <thread>
#include <utility>

#include "fine_sleep.h"
#include "line.h"

namespace lenssim {

namespace {

using Clock = std::chrono::steady_clock;

// A partial request followed by this much silence is given up.
constexpr auto kFrameGap = std::chrono::milliseconds(100);

// A deadline closer than this is slept out rather than polled for: a poll might end after it.
constexpr auto kSleepWithin = kPollLateness + std::chrono::milliseconds(1);

// A motor runs from `from` towards `target`, starting at `start`.
struct Motor {
  std::uint16_t from = 0;
  std::uint16_t target = 0;
  Clock::time_point start;

  std::uint16_t At(Clock::time_point now, int speed) const {
    if (speed <= 0 || from == target) return target;
    const double seconds = std::chrono::duration<double>(now - start).count();
    const double travel = std::floor(speed * std::max(seconds, 0.0));
    const int distance = std::abs(int{target} - int{from});
    if (travel >= distance) return target;
    const int step = static_cast<int>(travel);
    return static_cast<std::uint16_t>(target > from ? from + step : from - step);
  }
};

struct Chunk {
  Clock::time_point due;
  Bytes bytes;
  std::optional<std::uint8_t> ends_reply = std::nullopt;  // the code of the request it answers
};

// A request's bytes as the lens has them: `at` is when the last one would have come in.
struct Arrival {
  Clock::time_point at;
  Bytes frame;
  bool complete;
};

// One byte of 8N1 (start, 8 data and stop bits) at `baud`; none at 0.
Clock::duration ByteTime(int baud) {
  if (baud <= 0) return Clock::duration::zero();
  return std::chrono::round<Clock::duration>(std::chrono::duration<double>(10.0 / baud));
}

int SwitchIndex(std::uint8_t function) { return function & 0x0F; }

Fault FaultOf(Fault::Kind kind, int times) {
  Fault f;
  f.kind = kind;
  f.times = times;
  return f;
}

}  // namespace

std::uint8_t Checksum(const std::uint8_t* bytes, std::size_t count) {
  unsigned sum = 0;
  for (std::size_t i = 0; i < count; ++i) sum += bytes[i];
  return static_cast<std::uint8_t>(0x100 - (sum & 0xFF));
}

Bytes MakeFrame(std::uint8_t function, const Bytes& data) {
  Bytes frame;
  frame.reserve(data.size() + 3);
  frame.push_back(static_cast<std::uint8_t>(data.size()));
  frame.push_back(function);
  frame.insert(frame.end(), data.begin(), data.end());
  frame.push_back(Checksum(frame.data(), frame.size()));
  return frame;
}

std::string Hex(const Bytes& bytes) {
  std::string text;
  char digits[3];
  for (std::uint8_t b : bytes) {
    std::snprintf(digits, sizeof digits, "%02x", b);
    text += digits;
  }
  return text;
}

std::uint16_t EncodeScaled(int mantissa, int exponent) {
  return static_cast<std::uint16_t>(((exponent & 0x0F) << 12) | (mantissa & 0x0FFF));
}

Fault Fault::Silent(int times) { return FaultOf(Kind::kSilent, times); }

Fault Fault::Delay(int delay_ms, int times) {
  Fault f = FaultOf(Kind::kDelay, times);
  f.delay_ms = delay_ms;
  return f;
}

Fault Fault::Split(std::size_t split_at, int delay_ms, int times) {
  Fault f = FaultOf(Kind::kSplit, times);
  f.split_at = split_at;
  f.delay_ms = delay_ms;
  return f;
}

Fault Fault::BadChecksum(int times) { return FaultOf(Kind::kBadChecksum, times); }

Fault Fault::WrongCode(std::uint8_t code, int times) {
  Fault f = FaultOf(Kind::kWrongCode, times);
  f.code = code;
  return f;
}

Fault Fault::Short(std::size_t length, int times) {
  Fault f = FaultOf(Kind::kShort, times);
  f.length = length;
  return f;
}

Fault Fault::Raw(Bytes raw, int times) {
  Fault f = FaultOf(Kind::kRaw, times);
  f.raw = std::move(raw);
  return f;
}

struct Simulator::Impl {
  LineOpener open_line;
  std::unique_ptr<Line> line_;  // the lens's line while plugged in
  std::string path;
  std::thread server;
  std::atomic<bool> stop{false};
  std::mutex lifecycle;  // serialises HangUp and Replug
  bool hung_up = false;  // guarded by lifecycle
  ReplugHook on_replug;  // guarded by lifecycle

  // Opens a fresh line and starts serving it.
  void Plug() {
    line_ = open_line();
    path = line_->Name();
    stop.store(false);
    partial.clear();
    arriving.clear();
    server = std::thread([this] { Serve(); });
  }

  std::mutex mutex;  // guards everything below
  std::condition_variable frames_arrived;
  bool serving = true;
  LensState state;
  Motor motors[3];  // iris, zoom, focus
  std::map<std::uint8_t, Fault> faults;
  std::vector<Bytes> received;
  std::deque<Chunk> outgoing;
  std::size_t written = 0;  // bytes of outgoing.front() already sent
  // When the last byte sent was due to have left: the line is busy until then.
  Clock::time_point sent_until;
  LineFaults line;
  int baud = 0;
  Clock::duration byte_time = Clock::duration::zero();
  std::mt19937 noise_source{1};
  Trace trace;
  ReplySent on_reply_sent;

  // Server-thread only: the request being assembled, and requests still coming in at the baud rate.
  Bytes partial;
  Clock::time_point last_byte;
  std::deque<Arrival> arriving;
  Clock::time_point received_until;  // when the last byte read would have finished arriving

  void ResetMotors(Clock::time_point now) {
    const std::uint16_t positions[3] = {state.iris, state.zoom, state.focus};
    for (int i = 0; i < 3; ++i) motors[i] = Motor{positions[i], positions[i], now};
  }

  // Called with `mutex` held.
  void StartMotor(int index, std::uint16_t target, Clock::time_point now) {
    Motor& motor = motors[index];
    motor.from = motor.At(now, state.motor_speed);
    motor.target = target;
    motor.start = now;
  }

  void Wake() { line_->Wake(); }

  // The lens's answer to a well-formed request, with its effect on the state; none if the lens
  // does not understand it. Called with `mutex` held.
  std::optional<Bytes> Answer(std::uint8_t function, const Bytes& data, Clock::time_point now) {
    const auto value16 = [](std::uint16_t v) {
      return Bytes{static_cast<std::uint8_t>(v >> 8), static_cast<std::uint8_t>(v & 0xFF)};
    };
    const std::size_t n = data.size();
    switch (function) {
      case 0x01:
        if (n != 0) return std::nullopt;
        return MakeFrame(function, {});
      case 0x20:
      case 0x21:
      case 0x22: {
        if (n != 2) return std::nullopt;
        StartMotor(function - 0x20, static_cast<std::uint16_t>((data[0] << 8) | data[1]), now);
        return MakeFrame(function, {});
      }
      case 0x30:
      case 0x31:
      case 0x32:
        if (n != 0) return std::nullopt;
        return MakeFrame(function, value16(motors[function - 0x30].At(now, state.motor_speed)));
      case 0x40:
      case 0x42:
      case 0x43:
      case 0x44:
        if (n != 1) return std::nullopt;
        state.switches[SwitchIndex(function)] = data[0];
        return MakeFrame(function, {});
      case 0x50:
      case 0x52:
      case 0x53:
      case 0x54:
        if (n != 0) return std::nullopt;
        return MakeFrame(function, {state.switches[SwitchIndex(function)]});
      case 0x11:
      case 0x12: {
        if (n != 0) return std::nullopt;
        const std::size_t first = std::min({state.name_part, state.name.size(), std::size_t{255}});
        const std::string part = function == 0x11 ? state.name.substr(0, first)
                                                  : state.name.substr(first, 255);
        return MakeFrame(function, Bytes(part.begin(), part.end()));
      }
      case 0x13:
      case 0x14:
      case 0x15:
      case 0x16: {
        if (n != 0) return std::nullopt;
        const std::uint16_t optics[] = {state.aperture, state.focal_tele, state.focal_wide, state.mod};
        return MakeFrame(function, value16(optics[function - 0x13]));
      }
      default:
        return std::nullopt;
    }
  }

  // A noisy line spoils a reply's checksum now and then.
  void AddNoise(Bytes& bytes) {
    if (line.noise <= 0.0 || bytes.empty()) return;
    if (std::uniform_real_distribution<double>(0.0, 1.0)(noise_source) < line.noise) {
      bytes.back() ^= 0xFF;
    }
  }

  // What answers a request: `reply` (possibly none) as the code's fault, if any, bends it.
  // Called with `mutex` held.
  std::vector<Chunk> Bend(std::uint8_t function, std::optional<Bytes> reply, Clock::time_point now) {
    std::optional<Fault> fault;
    if (auto it = faults.find(function); it != faults.end()) {
      fault = it->second;
      if (fault->times > 0 && --it->second.times == 0) faults.erase(it);
    }
    if (fault && fault->kind == Fault::Kind::kRaw) return {{now, fault->raw}};
    if (!reply) return {};
    Bytes& bytes = *reply;
    if (!fault) {
      AddNoise(bytes);
      return {{now, std::move(bytes)}};
    }
    const auto later = now + std::chrono::milliseconds(fault->delay_ms);
    switch (fault->kind) {
      case Fault::Kind::kSilent:
        return {};
      case Fault::Kind::kDelay:
        AddNoise(bytes);
        return {{later, std::move(bytes)}};
      case Fault::Kind::kSplit: {
        AddNoise(bytes);
        const auto at = static_cast<std::ptrdiff_t>(std::min(fault->split_at, bytes.size()));
        return {{now, Bytes(bytes.begin(), bytes.begin() + at)},
                {later, Bytes(bytes.begin() + at, bytes.end())}};
      }
      case Fault::Kind::kBadChecksum:
        bytes.back() ^= 0xFF;
        break;
      case Fault::Kind::kWrongCode:
        bytes[1] = fault->code;
        bytes.back() = Checksum(bytes.data(), bytes.size() - 1);
        AddNoise(bytes);
        break;
      case Fault::Kind::kShort:
        bytes.resize(std::min(fault->length, bytes.size()));
        break;
      case Fault::Kind::kRaw:
        break;
    }
    return {{now, std::move(bytes)}};
  }

  // Queues the answer to a request, with the line's standing faults. Called with `mutex` held.
  void Schedule(std::uint8_t function, std::optional<Bytes> reply, Clock::time_point now) {
    std::vector<Chunk> chunks = Bend(function, std::move(reply), now);
    if (line.silent) return;
    bool queued = false;
    for (Chunk& chunk : chunks) {
      if (chunk.bytes.empty()) continue;  // nothing goes on the line
      chunk.due += std::chrono::milliseconds(line.delay_ms);
      outgoing.push_back(std::move(chunk));
      queued = true;
    }
    if (queued) outgoing.back().ends_reply = function;
  }

  // Records the frame first, so whoever waits for it finds its reply already queued.
  void OnFrame(Bytes frame, bool complete, Clock::time_point now) {
    std::lock_guard<std::mutex> lock(mutex);
    received.push_back(frame);
    frames_arrived.notify_all();
    if (trace) trace(Direction::kToLens, frame);
    if (!complete) return;
    unsigned sum = 0;
    for (std::uint8_t b : frame) sum += b;
    if ((sum & 0xFF) != 0) return;
    const std::uint8_t function = frame[1];
    const Bytes data(frame.begin() + 2, frame.end() - 1);
    Schedule(function, Answer(function, data, now), now);
  }

  // Takes in bytes read at `now`. At a baud rate each byte is in one byte time after the one
  // before it (or after `now`, on an idle line), and a request is heard once its last byte is.
  void Feed(const std::uint8_t* bytes, std::size_t count, Clock::time_point now) {
    Clock::duration each;
    {
      std::lock_guard<std::mutex> lock(mutex);
      each = byte_time;
    }
    for (std::size_t i = 0; i < count; ++i) {
      received_until = std::max(received_until, now) + each;
      partial.push_back(bytes[i]);
      if (partial.size() == std::size_t{partial[0]} + 3) {
        arriving.push_back({received_until, std::exchange(partial, {}), true});
      }
    }
    last_byte = now;
  }

  // Hears the requests that are in by `now`, in order.
  void Hear(Clock::time_point now) {
    if (!partial.empty() && now - last_byte >= kFrameGap) {
      arriving.push_back({received_until, std::exchange(partial, {}), false});
    }
    while (!arriving.empty() && arriving.front().at <= now) {
      Arrival next = std::move(arriving.front());
      arriving.pop_front();
      OnFrame(std::move(next.frame), next.complete, next.at);
    }
  }

  // When the next byte to send is due to have left; none while nothing waits to be sent.
  // Called with `mutex` held.
  std::optional<Clock::time_point> NextByteDue() const {
    if (outgoing.empty()) return std::nullopt;
    return std::max(outgoing.front().due, sent_until) + byte_time;
  }

  // Writes what is due, as far as the line takes it: at a baud rate a byte at a time, each
  // when it would have left. False when the line is unusable.
  bool Flush(Clock::time_point now) {
    std::lock_guard<std::mutex> lock(mutex);
    for (std::optional<Clock::time_point> due; (due = NextByteDue()) && *due <= now;) {
      const Chunk& chunk = outgoing.front();
      const std::size_t left = chunk.bytes.size() - written;
      const long n = line_->Write(chunk.bytes.data() + written, byte_time.count() > 0 ? 1 : left);
      if (n <= 0) return n == 0;
      written += static_cast<std::size_t>(n);
      sent_until = *due;
      if (written < chunk.bytes.size()) continue;
      // First the log of when the last byte left, then the trace, which takes its time.
      if (chunk.ends_reply && on_reply_sent) on_reply_sent(*chunk.ends_reply);
      if (trace) trace(Direction::kToHost, chunk.bytes);
      outgoing.pop_front();
      written = 0;
    }
    return true;
  }

  void Serve() {
    SleepPrecisely();
    for (;;) {
      const auto now = Clock::now();
      std::optional<Clock::time_point> deadline;
      const auto sooner = [&](Clock::time_point at) {
        if (!deadline || at < *deadline) deadline = at;
      };
      if (!partial.empty()) sooner(last_byte + kFrameGap);
      if (!arriving.empty()) sooner(arriving.front().at);
      bool want_out = false;
      {
        std::lock_guard<std::mutex> lock(mutex);
        if (const auto due = NextByteDue()) {
          if (*due <= now) {
            want_out = true;
          } else {
            sooner(*due);
          }
        }
      }
      int timeout_ms = -1;
      if (deadline) {
        const auto left = *deadline - now;
        // Too close for a poll to end on time: sleep it out, then look again.
        if (!want_out && left > Clock::duration::zero() && left < kSleepWithin) {
          SleepUntil(*deadline);
          continue;
        }
        const auto wait = std::chrono::floor<std::chrono::milliseconds>(left - kPollLateness).count();
        timeout_ms = static_cast<int>(std::max<decltype(wait)>(wait, 0));
      }
      if (!line_->Wait(want_out, timeout_ms) || stop.load()) return;
      std::uint8_t buffer[256];
      const long n = line_->Read(buffer, sizeof buffer);
      if (n < 0) return;
      if (n > 0) Feed(buffer, static_cast<std::size_t>(n), Clock::now());
      const auto after = Clock::now();
      Hear(after);
      if (!Flush(after)) return;
    }
  }
};

#ifndef _WIN32
Simulator::Simulator() : Simulator(OpenPtyLine) {}
#endif

Simulator::Simulator(LineOpener open_line) : impl_(std::make_unique<Impl>()) {
  impl_->open_line = std::move(open_line);
  impl_->ResetMotors(Clock::now());
  impl_->Plug();
}

Simulator::~Simulator() { HangUp(); }

const std::string& Simulator::DevicePath() const { return impl_->path; }

LensState Simulator::State() {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  const auto now = Clock::now();
  LensState state = impl_->state;
  state.iris = impl_->motors[0].At(now, state.motor_speed);
  state.zoom = impl_->motors[1].At(now, state.motor_speed);
  state.focus = impl_->motors[2].At(now, state.motor_speed);
  return state;
}

void Simulator::SetState(const LensState& state) {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  impl_->state = state;
  impl_->ResetMotors(Clock::now());
}

void Simulator::SetFault(std::uint8_t function, const Fault& fault) {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  if (fault.times == 0) {
    impl_->faults.erase(function);
  } else {
    impl_->faults[function] = fault;
  }
}

void Simulator::ClearFaults() {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  impl_->faults.clear();
}

std::vector<Bytes> Simulator::Received() {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  return impl_->received;
}

void Simulator::ClearReceived() {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  impl_->received.clear();
}

bool Simulator::WaitForFrames(std::size_t count, int timeout_ms) {
  std::unique_lock<std::mutex> lock(impl_->mutex);
  return impl_->frames_arrived.wait_for(lock, std::chrono::milliseconds(timeout_ms),
                                        [&] { return impl_->received.size() >= count; });
}

void Simulator::SendUnsolicited(const Bytes& bytes) {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  if (!impl_->serving || bytes.empty()) return;
  impl_->outgoing.push_back({Clock::now(), bytes});
  impl_->Wake();
}

void Simulator::HangUp() {
  Impl& s = *impl_;
  std::lock_guard<std::mutex> lifecycle(s.lifecycle);
  if (s.hung_up) return;
  s.hung_up = true;
  {
    std::lock_guard<std::mutex> lock(s.mutex);
    s.serving = false;
    s.outgoing.clear();
    s.written = 0;
  }
  s.stop.store(true);
  s.Wake();
  if (s.server.joinable()) s.server.join();
  s.line_.reset();
}

void Simulator::Replug() {
  Impl& s = *impl_;
  std::lock_guard<std::mutex> lifecycle(s.lifecycle);
  if (!s.hung_up) return;
  s.Plug();
  {
    // Only now: SendUnsolicited wakes the new line once it sees the lens serving.
    std::lock_guard<std::mutex> lock(s.mutex);
    s.serving = true;
  }
  s.hung_up = false;
  if (s.on_replug) s.on_replug(s.path);
}

void Simulator::OnReplug(ReplugHook hook) {
  std::lock_guard<std::mutex> lifecycle(impl_->lifecycle);
  impl_->on_replug = std::move(hook);
}

void Simulator::Move(Axis axis, std::uint16_t target) {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  impl_->StartMotor(static_cast<int>(axis), target, Clock::now());
}

void Simulator::SetLineFaults(const LineFaults& faults) {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  impl_->line = faults;
  impl_->noise_source.seed(faults.seed);
}

LineFaults Simulator::GetLineFaults() {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  return impl_->line;
}

void Simulator::SetBaud(int baud) {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  impl_->baud = std::max(baud, 0);
  impl_->byte_time = ByteTime(impl_->baud);
}

int Simulator::Baud() {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  return impl_->baud;
}

void Simulator::OnReplySent(ReplySent hook) {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  impl_->on_reply_sent = std::move(hook);
}

void Simulator::SetTrace(Trace trace) {
  std::lock_guard<std::mutex> lock(impl_->mutex);
  impl_->trace = std::move(trace);
}

}  // namespace lenssim
