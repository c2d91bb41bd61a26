#include "commands/switches.h"

#include <cstdio>

#include "Kelvaro32.h"
#include "commands/switch_labels.h"
#include "core/exchange.h"
#include "core/link_state.h"

namespace kelvaro {
namespace {

constexpr std::uint8_t kSetBase = 0x40;    // 0x40, 0x42, 0x43, 0x44
constexpr std::uint8_t kQueryBase = 0x50;  // 0x50, 0x52, 0x53, 0x54

// Fixed switch bytes of the conveniences.
constexpr std::uint8_t kMagnifierIn = 0xFE;   // switch 3, bit 0 clear
constexpr std::uint8_t kMagnifierOut = 0xFF;  // switch 3, bit 0 set
constexpr std::uint8_t kAutoIris = 0xCF;      // switch 2, bit 4 clear
constexpr std::uint8_t kHostMode4 = 0xFC;     // switch 4, mode 4
constexpr std::uint8_t kHostMode0 = 0xF8;     // switch 4, mode 0

}  // namespace

int SetSwitch(LinkState& link, int switch_number, std::uint8_t value) {
  return Exchange(link, static_cast<std::uint8_t>(kSetBase + switch_number), value, 1);
}

int GetSwitch(LinkState& link, int switch_number, char* text, unsigned short* value) {
  // The placeholder stays when the query cannot go out.
  if (text != nullptr) std::snprintf(text, kSwitchTextCapacity, "%s", SwitchPlaceholder(switch_number));
  int code = KELVARO_OK;
  if (!Query(link, static_cast<std::uint8_t>(kQueryBase + switch_number), code)) return code;

  // A failed reply labels the last good value; the bracket shows what this read left at
  // offset 2 (the first data byte, a 3-byte reply's checksum, or 0).
  const unsigned short result = SwitchValue(switch_number, link.ReplyValue);
  if (value != nullptr) *value = result;
  if (text != nullptr) FormatSwitchText(switch_number, result, link.reply[2], text, kSwitchTextCapacity);
  return code;
}

int ReadSwitchByte(LinkState& link, int switch_number, std::uint8_t* value) {
  int code = KELVARO_OK;
  Query(link, static_cast<std::uint8_t>(kQueryBase + switch_number), code);
  if (code == KELVARO_OK) *value = static_cast<std::uint8_t>(link.ReplyValue & 0xFF);
  return code;
}

int SetMagnifier(LinkState& link, unsigned short on) {
  return SetSwitch(link, 3, on ? kMagnifierIn : kMagnifierOut);
}

int GetMagnifier(LinkState& link, unsigned short* on) {
  unsigned short value = 0;
  const int sent_or_read = GetSwitch(link, 3, nullptr, &value);
  // A query that never went out leaves nothing to derive the flag from.
  const bool query_sent = sent_or_read != KELVARO_PORT_NOT_OPEN && sent_or_read != KELVARO_GENERAL_FAILURE;
  const bool written = link.policy.stale_out_values ? query_sent : sent_or_read == KELVARO_OK;
  if (on != nullptr && written) *on = (value & 1) ? 0 : 1;
  return sent_or_read;
}

int SetAutoIrisMode(LinkState& link, unsigned short on) {
  if (!on) return SetSwitch(link, 4, kHostMode0);
  const int iris = SetSwitch(link, 2, kAutoIris);
  const int mode = SetSwitch(link, 4, kHostMode4);
  return iris != KELVARO_OK ? iris : mode;
}

}  // namespace kelvaro
