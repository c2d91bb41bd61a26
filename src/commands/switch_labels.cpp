#include "commands/switch_labels.h"

#include <cstdio>

namespace kelvaro {
namespace {

// Switch 0 names the lens's wavelength setting for values 12 to 15; the trailing spaces
// are part of the labels.
const char* WavelengthLabel(unsigned short value) {
  switch (value) {
    case 12: return "950nm ";
    case 13: return "880nm ";
    case 14: return "850nm ";
    case 15: return "None  ";
    default: return "LensCode";
  }
}

}  // namespace

const char* SwitchPlaceholder(int switch_number) { return switch_number == 0 ? "LensCode" : "???"; }

unsigned short SwitchValue(int switch_number, std::uint32_t reply_value) {
  switch (switch_number) {
    case 2: return static_cast<unsigned short>((reply_value >> 4) & 1);
    case 4: return static_cast<unsigned short>(reply_value & 0x07);
    default: return static_cast<unsigned short>(reply_value & 0x0F);
  }
}

void FormatSwitchText(int switch_number, unsigned short value, std::uint8_t shown_byte, char* out,
                      std::size_t capacity) {
  switch (switch_number) {
    case 0:
      std::snprintf(out, capacity, "%s [%x]", WavelengthLabel(value), shown_byte);
      break;
    case 2:
      std::snprintf(out, capacity, "%s [%x]", value == 1 ? "Remote Iris" : "Auto Iris", shown_byte);
      break;
    case 3:
      std::snprintf(out, capacity, "%s [%x]", (value & 1) ? "Mag x1" : "Mag x2", shown_byte);
      break;
    default:
      std::snprintf(out, capacity, "Mode %d%s [%x]", value, value == 7 ? " Local/Auto" : " Host",
                    shown_byte);
      break;
  }
}

}  // namespace kelvaro
