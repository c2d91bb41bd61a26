// The handle interface of kelvaro.h: each entry point checks its arguments, holds the lens
// and forwards to the same commands as the flat functions. The lens's policy writes out
// values only on success.
#include <cmath>
#include <cstring>

#include "autoconnect/auto_connect.h"
#include "commands/identity.h"
#include "commands/positions.h"
#include "commands/switch_labels.h"
#include "commands/switches.h"
#include "core/exchange.h"
#include "core/lens_pool.h"
#include "core/result_text.h"
#include "kelvaro.h"
#include "motion/activity.h"
#include "platform/clock.h"

namespace {

using kelvaro::HeldLens;

bool KnownAxis(int axis) { return axis == KELVARO_IRIS || axis == KELVARO_ZOOM || axis == KELVARO_FOCUS; }

kelvaro::Motor MotorOf(int axis) { return static_cast<kelvaro::Motor>(axis); }

const kelvaro::LensJobs kJobs{kelvaro::CheckLens, kelvaro::RunActivity, kelvaro::EndActivity};

constexpr unsigned kAllAxes = (1u << KELVARO_IRIS) | (1u << KELVARO_ZOOM) | (1u << KELVARO_FOCUS);
constexpr double kMaxStreamRate = 1000.0;
constexpr unsigned kMaxMoveMs = 600000;
constexpr unsigned kMinDeadmanMs = 50;
constexpr unsigned kMaxDeadmanMs = 60000;
constexpr int kLastPosition = 4095;

// The stream of a live lens, for the calls that never wait for the lens; nullptr otherwise.
// The stream itself checks that it serves this handle.
kelvaro::Stream* StreamOf(kelvaro_lens* lens) {
  const int index = kelvaro::LiveLensIndex(lens);
  return index < 0 ? nullptr : &kelvaro::ActivityOf(index).stream;
}

bool ValidTargets(const int* targets) {
  if (targets == nullptr) return false;
  bool any = false;
  for (int axis = 0; axis < 3; ++axis) {
    if (targets[axis] < -1 || targets[axis] > kLastPosition) return false;
    any = any || targets[axis] >= 0;
  }
  return any;
}

}  // namespace

extern "C" {

KELVARO_API(int) kelvaro_open(const char* port, const kelvaro_options* options, kelvaro_lens** lens) {
  return kelvaro::OpenLens(port, options, kJobs, lens);
}

KELVARO_API(int) kelvaro_close(kelvaro_lens* lens) { return kelvaro::CloseLens(lens); }

KELVARO_API(int) kelvaro_connect(kelvaro_lens* lens) {
  HeldLens held(lens);
  if (!held) return KELVARO_INVALID_ARGUMENT;
  return kelvaro::Handshake(held.Link());
}

KELVARO_API(int) kelvaro_is_connected(kelvaro_lens* lens) { return kelvaro::LensConnected(lens); }

KELVARO_API(int) kelvaro_move(kelvaro_lens* lens, int axis, unsigned short position) {
  if (!KnownAxis(axis)) return KELVARO_INVALID_ARGUMENT;
  HeldLens held(lens);
  if (!held) return KELVARO_INVALID_ARGUMENT;
  return kelvaro::MovePosition(held.Link(), MotorOf(axis), position);
}

KELVARO_API(int) kelvaro_position(kelvaro_lens* lens, int axis, unsigned short* position) {
  if (!KnownAxis(axis) || position == nullptr) return KELVARO_INVALID_ARGUMENT;
  HeldLens held(lens);
  if (!held) return KELVARO_INVALID_ARGUMENT;
  return kelvaro::ReadPosition(held.Link(), MotorOf(axis), position);
}

KELVARO_API(int) kelvaro_set_switch(kelvaro_lens* lens, int number, unsigned char value) {
  if (!kelvaro::KnownSwitch(number)) return KELVARO_INVALID_ARGUMENT;
  HeldLens held(lens);
  if (!held) return KELVARO_INVALID_ARGUMENT;
  return kelvaro::SetSwitch(held.Link(), number, value);
}

KELVARO_API(int) kelvaro_switch(kelvaro_lens* lens, int number, unsigned char* value) {
  if (!kelvaro::KnownSwitch(number) || value == nullptr) return KELVARO_INVALID_ARGUMENT;
  HeldLens held(lens);
  if (!held) return KELVARO_INVALID_ARGUMENT;
  return kelvaro::ReadSwitchByte(held.Link(), number, value);
}

KELVARO_API(int) kelvaro_set_magnifier(kelvaro_lens* lens, int on) {
  HeldLens held(lens);
  if (!held) return KELVARO_INVALID_ARGUMENT;
  return kelvaro::SetMagnifier(held.Link(), on != 0);
}

KELVARO_API(int) kelvaro_magnifier(kelvaro_lens* lens, int* on) {
  if (on == nullptr) return KELVARO_INVALID_ARGUMENT;
  HeldLens held(lens);
  if (!held) return KELVARO_INVALID_ARGUMENT;
  unsigned short in = 0;
  const int code = kelvaro::GetMagnifier(held.Link(), &in);
  if (code == KELVARO_OK) *on = in;
  return code;
}

KELVARO_API(int) kelvaro_set_auto_iris(kelvaro_lens* lens, int on) {
  HeldLens held(lens);
  if (!held) return KELVARO_INVALID_ARGUMENT;
  return kelvaro::SetAutoIrisMode(held.Link(), on != 0);
}

KELVARO_API(int) kelvaro_name(kelvaro_lens* lens, char* name, size_t size) {
  if (name == nullptr || size == 0) return KELVARO_INVALID_ARGUMENT;
  HeldLens held(lens);
  if (!held) return KELVARO_INVALID_ARGUMENT;
  return kelvaro::ReadWholeName(held.Link(), name, size);
}

KELVARO_API(int) kelvaro_read_optics(kelvaro_lens* lens, kelvaro_optics* optics) {
  if (optics == nullptr) return KELVARO_INVALID_ARGUMENT;
  HeldLens held(lens);
  if (!held) return KELVARO_INVALID_ARGUMENT;
  return kelvaro::ReadOptics(held.Link(), *optics);
}

KELVARO_API(const char*) kelvaro_result_text(int code) { return kelvaro::ResultText(code); }

KELVARO_API(int) kelvaro_switch_label(int number, unsigned char value, char* text, size_t size) {
  if (!kelvaro::KnownSwitch(number) || text == nullptr) return KELVARO_INVALID_ARGUMENT;
  char label[kelvaro::kSwitchTextCapacity];
  kelvaro::FormatSwitchText(number, kelvaro::SwitchValue(number, value), value, label, sizeof label);
  const std::size_t length = std::strlen(label);
  if (size <= length) return KELVARO_INVALID_ARGUMENT;
  std::memcpy(text, label, length + 1);
  return KELVARO_OK;
}

KELVARO_API(double) kelvaro_clock(void) { return kelvaro::platform::ClockSeconds(); }

KELVARO_API(int) kelvaro_stream_start(kelvaro_lens* lens, unsigned axes, double rate_hz) {
  // Written so that NaN fails too.
  if (axes == 0 || (axes & ~kAllAxes) != 0 || !(rate_hz >= 0.0 && rate_hz <= kMaxStreamRate)) {
    return KELVARO_INVALID_ARGUMENT;
  }
  HeldLens held(lens);
  if (!held) return KELVARO_INVALID_ARGUMENT;
  if (!held.StartWorker()) return KELVARO_NO_FREE_LENS;
  kelvaro::ActivityOf(held.Index()).stream.Start(lens, axes, rate_hz, held.Link());
  held.Wake();
  return KELVARO_OK;
}

KELVARO_API(int) kelvaro_stream_stop(kelvaro_lens* lens) {
  HeldLens held(lens);
  if (!held) return KELVARO_INVALID_ARGUMENT;
  kelvaro::ActivityOf(held.Index()).stream.Stop(held.Link());
  return KELVARO_OK;
}

KELVARO_API(int) kelvaro_stream_read(kelvaro_lens* lens, kelvaro_sample* samples, size_t max, size_t* count) {
  kelvaro::Stream* stream = StreamOf(lens);
  if (stream == nullptr || count == nullptr || (samples == nullptr && max > 0)) return KELVARO_INVALID_ARGUMENT;
  return stream->Read(lens, samples, max, count);
}

KELVARO_API(int) kelvaro_stream_wait(kelvaro_lens* lens, kelvaro_sample* sample, int timeout_ms) {
  kelvaro::Stream* stream = StreamOf(lens);
  if (stream == nullptr || sample == nullptr || timeout_ms < 0) return KELVARO_INVALID_ARGUMENT;
  return stream->Wait(lens, sample, timeout_ms);
}

KELVARO_API(int) kelvaro_latest(kelvaro_lens* lens, kelvaro_sample* sample) {
  kelvaro::Stream* stream = StreamOf(lens);
  if (stream == nullptr || sample == nullptr) return KELVARO_INVALID_ARGUMENT;
  return stream->Latest(lens, sample);
}

KELVARO_API(int) kelvaro_move_together(kelvaro_lens* lens, const int targets[3], unsigned duration_ms, int easing) {
  const bool known_easing = easing == KELVARO_EASE_LINEAR || easing == KELVARO_EASE_IN_OUT;
  if (!ValidTargets(targets) || duration_ms > kMaxMoveMs || !known_easing) return KELVARO_INVALID_ARGUMENT;
  HeldLens held(lens);
  if (!held) return KELVARO_INVALID_ARGUMENT;
  if (!held.StartWorker()) return KELVARO_NO_FREE_LENS;
  const int code = kelvaro::ActivityOf(held.Index()).motion.MoveTogether(held.Link(), targets, duration_ms, easing);
  held.Wake();
  return code;
}

KELVARO_API(int) kelvaro_jog(kelvaro_lens* lens, int axis, double speed, unsigned deadman_ms) {
  if (!KnownAxis(axis) || !(speed >= -1.0 && speed <= 1.0) || deadman_ms < kMinDeadmanMs ||
      deadman_ms > kMaxDeadmanMs) {
    return KELVARO_INVALID_ARGUMENT;
  }
  HeldLens held(lens);
  if (!held) return KELVARO_INVALID_ARGUMENT;
  if (!held.StartWorker()) return KELVARO_NO_FREE_LENS;
  const int code = kelvaro::ActivityOf(held.Index()).motion.Jog(held.Link(), axis, speed, deadman_ms);
  held.Wake();
  return code;
}

KELVARO_API(int) kelvaro_stop(kelvaro_lens* lens) {
  HeldLens held(lens);
  if (!held) return KELVARO_INVALID_ARGUMENT;
  return kelvaro::ActivityOf(held.Index()).motion.Stop(held.Link());
}

KELVARO_API(int) kelvaro_moving(kelvaro_lens* lens) {
  const int index = kelvaro::LiveLensIndex(lens);
  return index >= 0 && kelvaro::ActivityOf(index).motion.Moving() ? 1 : 0;
}

KELVARO_API(int) kelvaro_stats(kelvaro_lens* lens, kelvaro_lens_stats* stats) {
  if (stats == nullptr) return KELVARO_INVALID_ARGUMENT;
  return kelvaro::LensStats(lens, *stats);
}

}  // extern "C"
