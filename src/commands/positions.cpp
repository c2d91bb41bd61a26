#include "commands/positions.h"

#include "Kelvaro32.h"
#include "core/exchange.h"
#include "core/link_state.h"
#include "platform/timer.h"

namespace kelvaro {
namespace {

constexpr std::uint8_t kMoveBase = 0x20;   // 0x20 iris, 0x21 zoom, 0x22 focus
constexpr std::uint8_t kQueryBase = 0x30;  // 0x30 iris, 0x31 zoom, 0x32 focus

}  // namespace

int MovePosition(LinkState& link, Motor motor, unsigned short position) {
  // Bits above the 12-bit position fall off the 16-bit wire value.
  const auto wire = static_cast<std::uint16_t>(position << 4);
  return Exchange(link, static_cast<std::uint8_t>(kMoveBase + static_cast<std::uint8_t>(motor)), wire, 2);
}

int ReadPosition(LinkState& link, Motor motor, unsigned short* position) {
  int code = KELVARO_OK;
  if (!Query(link, static_cast<std::uint8_t>(kQueryBase + static_cast<std::uint8_t>(motor)), code)) return code;
  // Whatever the reply's code: a failed reply reports the last good value.
  if (position != nullptr) *position = static_cast<unsigned short>((link.ReplyValue & 0xFFFF) >> 4);
  return code;
}

}  // namespace kelvaro

using kelvaro::Motor;
using kelvaro::platform::LibraryLock;

extern "C" {

KELVARO_API(int) SetLensIris(unsigned short position) {
  LibraryLock lock;
  return kelvaro::MovePosition(kelvaro::g_link, Motor::kIris, position);
}
KELVARO_API(int) SetLensZoom(unsigned short position) {
  LibraryLock lock;
  return kelvaro::MovePosition(kelvaro::g_link, Motor::kZoom, position);
}
KELVARO_API(int) SetLensFocus(unsigned short position) {
  LibraryLock lock;
  return kelvaro::MovePosition(kelvaro::g_link, Motor::kFocus, position);
}
KELVARO_API(int) GetLensIris(unsigned short* position) {
  LibraryLock lock;
  return kelvaro::ReadPosition(kelvaro::g_link, Motor::kIris, position);
}
KELVARO_API(int) GetLensZoom(unsigned short* position) {
  LibraryLock lock;
  return kelvaro::ReadPosition(kelvaro::g_link, Motor::kZoom, position);
}
KELVARO_API(int) GetLensFocus(unsigned short* position) {
  LibraryLock lock;
  return kelvaro::ReadPosition(kelvaro::g_link, Motor::kFocus, position);
}

}  // extern "C"
