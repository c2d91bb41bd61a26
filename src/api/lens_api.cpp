// The handle interface's entry points: check the arguments, hold the lens, call the same
// core and commands as the flat functions, and write out values only on success.
#include "commands/identity.h"
#include "commands/positions.h"
#include "commands/switches.h"
#include "core/exchange.h"
#include "core/lens_pool.h"
#include "kelvaro.h"

namespace {

using kelvaro::HeldLens;

bool KnownAxis(int axis) { return axis == KELVARO_IRIS || axis == KELVARO_ZOOM || axis == KELVARO_FOCUS; }
bool KnownSwitch(int number) { return number == 0 || number == 2 || number == 3 || number == 4; }

kelvaro::Motor MotorOf(int axis) { return static_cast<kelvaro::Motor>(axis); }

}  // namespace

extern "C" {

KELVARO_API(int) kelvaro_open(const char* port, const kelvaro_options* options, kelvaro_lens** lens) {
  return kelvaro::OpenLens(port, options, lens);
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
  unsigned short fresh = 0;
  const int code = kelvaro::ReadPosition(held.Link(), MotorOf(axis), &fresh);
  if (code == KELVARO_OK) *position = fresh;
  return code;
}

KELVARO_API(int) kelvaro_set_switch(kelvaro_lens* lens, int number, unsigned char value) {
  if (!KnownSwitch(number)) return KELVARO_INVALID_ARGUMENT;
  HeldLens held(lens);
  if (!held) return KELVARO_INVALID_ARGUMENT;
  return kelvaro::SetSwitch(held.Link(), number, value);
}

KELVARO_API(int) kelvaro_switch(kelvaro_lens* lens, int number, unsigned char* value) {
  if (!KnownSwitch(number) || value == nullptr) return KELVARO_INVALID_ARGUMENT;
  HeldLens held(lens);
  if (!held) return KELVARO_INVALID_ARGUMENT;
  return kelvaro::ReadSwitchByte(held.Link(), number, value);
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

}  // extern "C"
