#include "commands/positions.h"

#include "Kelvaro32.h"
#include "core/exchange.h"
#include "core/link_state.h"

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
  // A failed reply reports the last good value, where the link's policy says so.
  if (code != KELVARO_OK && !link.policy.stale_out_values) return code;
  if (position != nullptr) *position = static_cast<unsigned short>((link.ReplyValue & 0xFFFF) >> 4);
  return code;
}

}  // namespace kelvaro
