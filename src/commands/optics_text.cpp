#include "commands/optics_text.h"

#include <cmath>
#include <cstdio>

namespace kelvaro {
namespace {

constexpr double kMillimetresPerMetre = 1000.0;
constexpr std::size_t kNumberTextCapacity = 24;  // " %.1f" of the largest value is 17

}  // namespace

float DecodeScaledNumber(std::uint16_t raw) {
  const int mantissa = raw & 0x0FFF;
  const int exponent = (raw >> 12) >= 8 ? (raw >> 12) - 16 : (raw >> 12);
  char text[16];
  std::snprintf(text, sizeof text, "%dE%d", mantissa, exponent);
  float value = 0.0f;
  if (std::sscanf(text, "%f", &value) != 1) return 0.0f;
  return value;
}

double FocalLengthMm(std::uint16_t raw) { return DecodeScaledNumber(raw) * kMillimetresPerMetre; }

double ApertureFNumber(std::uint16_t code) {
  return std::exp(std::log(2.0) * 8.0 * (1.0 - code / 65536.0));
}

void FormatMinimumObjectDistance(std::uint16_t raw, char* out, std::size_t capacity) {
  char number[kNumberTextCapacity];
  std::snprintf(number, sizeof number, " %.1f", DecodeScaledNumber(raw));
  std::snprintf(out, capacity, "MOD: %s meters", number);
}

void FormatAperture(std::uint16_t code, char* out, std::size_t capacity) {
  char number[kNumberTextCapacity];
  std::snprintf(number, sizeof number, "f/%.2f", ApertureFNumber(code));
  std::snprintf(out, capacity, "Aperture: %s", number);
}

void FormatFocalRange(std::uint16_t first_raw, std::uint16_t second_raw, char* out,
                      std::size_t capacity) {
  char first[kNumberTextCapacity];
  char second[kNumberTextCapacity];
  std::snprintf(first, sizeof first, " %.1f", FocalLengthMm(first_raw));
  std::snprintf(second, sizeof second, " %.1f", FocalLengthMm(second_raw));
  std::snprintf(out, capacity, "Focal Length %s to %s mm", first, second);
}

}  // namespace kelvaro
