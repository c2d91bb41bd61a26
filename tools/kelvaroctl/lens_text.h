// The texts kelvaroctl shows for the lens's numbers and switch bytes, worded digit for digit
// as the library's flat functions word them, so that output read by scripts stays the same.
// The switch labels are the library's own (kelvaro_switch_label).
#pragma once

#include <string>

namespace kelvaroctl {

std::string FocalRangeText(double min_mm, double max_mm);  // "Focal Length  10.0 to  200.0 mm"
std::string ModText(double metres);                         // "MOD:  0.9 meters"
std::string ApertureText(double f_number);                  // "Aperture: f/2.00"

// The part of switch `number`'s byte its label is about: switches 0 and 3 the low nibble,
// switch 2 bit 4 (remote iris), switch 4 the low three bits (the mode).
unsigned SwitchValue(int number, unsigned char byte);
// That part's label and the byte in hexadecimal, from the library: "850nm  [e]",
// "Mode 0 Host [f8]".
std::string SwitchLabel(int number, unsigned char byte);

}  // namespace kelvaroctl
