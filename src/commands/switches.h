// Switches 0, 2, 3 and 4 of the lens, and the conveniences built on them.
#pragma once

#include <cstdint>

namespace kelvaro {

struct LinkState;

int SetSwitch(LinkState& link, int switch_number, std::uint8_t value);
int GetSwitch(LinkState& link, int switch_number, char* text, unsigned short* value);
// The switch byte itself (the low byte of the reply's value); written only on success.
int ReadSwitchByte(LinkState& link, int switch_number, std::uint8_t* value);

int SetMagnifier(LinkState& link, unsigned short on);     // 2x in (switch 3 bit 0 clear) or out
int GetMagnifier(LinkState& link, unsigned short* on);
int SetAutoIrisMode(LinkState& link, unsigned short on);  // auto iris in host mode 4, or host mode 0

}  // namespace kelvaro
