#include "lens_text.h"

#include <cstddef>
#include <cstdio>

namespace kelvaroctl {

namespace {

// Room for the longest text: a focal range of the largest numbers is 54 characters.
constexpr std::size_t kTextCapacity = 64;

// Switch 0 values 12 to 15 name the lens's wavelength; the trailing spaces belong to them.
const char* WavelengthLabel(unsigned value) {
  switch (value) {
    case 12: return "950nm ";
    case 13: return "880nm ";
    case 14: return "850nm ";
    case 15: return "None  ";
    default: return "LensCode";
  }
}

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

std::string SwitchText(int number, unsigned char byte) {
  const unsigned value = SwitchValue(number, byte);
  const unsigned shown = byte;
  char text[kTextCapacity];
  switch (number) {
    case 0:
      std::snprintf(text, sizeof text, "%s [%x]", WavelengthLabel(value), shown);
      break;
    case 2:
      std::snprintf(text, sizeof text, "%s [%x]", value == 1 ? "Remote Iris" : "Auto Iris", shown);
      break;
    case 3:
      std::snprintf(text, sizeof text, "%s [%x]", (value & 1) ? "Mag x1" : "Mag x2", shown);
      break;
    default:
      std::snprintf(text, sizeof text, "Mode %u%s [%x]", value, value == 7 ? " Local/Auto" : " Host", shown);
      break;
  }
  return text;
}

}  // namespace kelvaroctl
