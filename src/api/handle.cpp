// The handle interface of kelvaro.h: each entry point checks its arguments, holds the lens
// and forwards to the same commands as the flat functions. The lens's policy writes out
// values only on success.
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

namespace {

using kelvaro::HeldLens;

bool KnownAxis(int axis) { return axis == KELVARO_IRIS || axis == KELVARO_ZOOM || axis == KELVARO_FOCUS; }

kelvaro::Motor MotorOf(int axis) { return static_cast<kelvaro::Motor>(axis); }

}  // namespace

extern "C" {

KELVARO_API(int) kelvaro_open(const char* port, const kelvaro_options* options, kelvaro_lens** lens) {
  return kelvaro::OpenLens(port, options, kelvaro::CheckLens, lens);
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

}  // extern "C"
