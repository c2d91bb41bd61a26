#include "lens_text.h"

#include <cstddef>
#include <cstdio>

#include "kelvaro.h"

namespace kelvaroctl {

namespace {

// Room for the longest text: a focal range of the largest numbers is 54 characters.
constexpr std::size_t kTextCapacity = 64;

}  // namespace

std::string FocalRangeText(double min_mm, double max_mm) {
  char text[kTextCapacity];
  std::snprintf(text, sizeof text, "Focal Length  %.1f to  %.1f mm", min_mm, max_mm);
  return text;
}

std::string ModText(double metres) {
  char text[kTextCapacity];
  std::snprintf(text, sizeof text, "MOD:  %.1f meters", metres);
  return text;
}

std::string ApertureText(double f_number) {
  char text[kTextCapacity];
  std::snprintf(text, sizeof text, "Aperture: f/%.2f", f_number);
  return text;
}

unsigned SwitchValue(int number, unsigned char byte) {
  switch (number) {
    case 2: return (byte >> 4) & 1u;
    case 4: return byte & 0x07u;
    default: return byte & 0x0Fu;
  }
}

std::string SwitchLabel(int number, unsigned char byte) {
  char text[kTextCapacity];
  if (kelvaro_switch_label(number, byte, text, sizeof text) != KELVARO_OK) return "?";
  return text;
}

}  // namespace kelvaroctl
