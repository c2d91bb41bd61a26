// Switches 0, 2, 3 and 4 of the lens, and the conveniences built on them.
#pragma once

#include <cstdint>

namespace kelvaro {

int SetSwitch(int switch_number, std::uint8_t value);
int GetSwitch(int switch_number, char* text, unsigned short* value);

int SetMagnifier(unsigned short on);       // 2x in (switch 3 bit 0 clear) or out
int GetMagnifier(unsigned short* on);
int SetAutoIrisMode(unsigned short on);    // auto iris in host mode 4, or host mode 0

}  // namespace kelvaro
