// What the switch getters report: the part of the switch byte each one returns, and the
// short display label with the raw byte in brackets. Pure helpers, no I/O.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kelvaro {

// Room a switch text needs: "Mode 7 Local/Auto [ff]" and its NUL.
inline constexpr std::size_t kSwitchTextCapacity = 23;

// Switches 0, 2, 3 and 4 are the lens's; no other number names one.
inline bool KnownSwitch(int number) { return number == 0 || number == 2 || number == 3 || number == 4; }

// The text a getter writes before it knows anything: "LensCode" for switch 0, else "???".
const char* SwitchPlaceholder(int switch_number);

// The value a getter returns, from the reply value: switch 0 and 3 the low nibble,
// switch 2 bit 4, switch 4 the low three bits.
unsigned short SwitchValue(int switch_number, std::uint32_t reply_value);

// The label for `value` followed by " [%x]" of `shown_byte`, into `out`.
void FormatSwitchText(int switch_number, unsigned short value, std::uint8_t shown_byte, char* out,
                      std::size_t capacity);

}  // namespace kelvaro
