#include "commands/switches.h"

#include <cstdio>

#include "Kelvaro32.h"
#include "commands/switch_labels.h"
#include "core/exchange.h"
#include "core/link_state.h"
#include "platform/timer.h"

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

int SetSwitch(int switch_number, std::uint8_t value) {
  return Exchange(static_cast<std::uint8_t>(kSetBase + switch_number), value, 1);
}

int GetSwitch(int switch_number, char* text, unsigned short* value) {
  // The placeholder stays when the query cannot go out.
  if (text != nullptr) std::snprintf(text, kSwitchTextCapacity, "%s", SwitchPlaceholder(switch_number));
  int code = KELVARO_OK;
  if (!Query(static_cast<std::uint8_t>(kQueryBase + switch_number), code)) return code;

  // A failed reply labels the last good value; the bracket shows what this read left at
  // offset 2 (the first data byte, a 3-byte reply's checksum, or 0).
  const unsigned short result = SwitchValue(switch_number, g_link.ReplyValue);
  if (value != nullptr) *value = result;
  if (text != nullptr) FormatSwitchText(switch_number, result, g_link.reply[2], text, kSwitchTextCapacity);
  return code;
}

int SetMagnifier(unsigned short on) { return SetSwitch(3, on ? kMagnifierIn : kMagnifierOut); }

int GetMagnifier(unsigned short* on) {
  unsigned short value = 0;
  const int sent_or_read = GetSwitch(3, nullptr, &value);
  // A query that never went out leaves nothing to derive the flag from.
  const bool query_sent = sent_or_read != KELVARO_PORT_NOT_OPEN && sent_or_read != KELVARO_GENERAL_FAILURE;
  if (on != nullptr && query_sent) *on = (value & 1) ? 0 : 1;
  return sent_or_read;
}

int SetAutoIrisMode(unsigned short on) {
  if (!on) return SetSwitch(4, kHostMode0);
  const int iris = SetSwitch(2, kAutoIris);
  const int mode = SetSwitch(4, kHostMode4);
  return iris != KELVARO_OK ? iris : mode;
}

}  // namespace kelvaro

using kelvaro::platform::LibraryLock;

extern "C" {

KELVARO_API(int) SetSwitch0Host(unsigned char value) {
  LibraryLock lock;
  return kelvaro::SetSwitch(0, value);
}
KELVARO_API(int) SetSwitch2Host(unsigned char value) {
  LibraryLock lock;
  return kelvaro::SetSwitch(2, value);
}
KELVARO_API(int) SetSwitch3Host(unsigned char value) {
  LibraryLock lock;
  return kelvaro::SetSwitch(3, value);
}
KELVARO_API(int) SetSwitch4Host(unsigned char value) {
  LibraryLock lock;
  return kelvaro::SetSwitch(4, value);
}
KELVARO_API(int) GetSwitch0Host(char* text, unsigned short* value) {
  LibraryLock lock;
  return kelvaro::GetSwitch(0, text, value);
}
KELVARO_API(int) GetSwitch2Host(char* text, unsigned short* value) {
  LibraryLock lock;
  return kelvaro::GetSwitch(2, text, value);
}
KELVARO_API(int) GetSwitch3Host(char* text, unsigned short* value) {
  LibraryLock lock;
  return kelvaro::GetSwitch(3, text, value);
}
KELVARO_API(int) GetSwitch4Host(char* text, unsigned short* value) {
  LibraryLock lock;
  return kelvaro::GetSwitch(4, text, value);
}
KELVARO_API(int) Set2XMag(unsigned short on) {
  LibraryLock lock;
  return kelvaro::SetMagnifier(on);
}
KELVARO_API(int) Get2XMag(unsigned short* on) {
  LibraryLock lock;
  return kelvaro::GetMagnifier(on);
}
KELVARO_API(int) SetAutoIris(unsigned short on) {
  LibraryLock lock;
  return kelvaro::SetAutoIrisMode(on);
}

}  // extern "C"
