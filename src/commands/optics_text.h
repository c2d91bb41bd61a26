// The numbers the lens reports about its optics, and the texts made from them. Pure helpers.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kelvaro {

// A scaled number: low 12 bits mantissa, top 4 bits a signed exponent of ten (-8 to 7).
// Made the way the lens's texts have always been made: "%dE%d" written, then read back
// with "%f" as a single-precision number.
float DecodeScaledNumber(std::uint16_t raw);

// A scaled length in metres, in millimetres (as the focal-length text shows it).
double FocalLengthMm(std::uint16_t raw);

// The maximum aperture as an f-number: 2 to the power 8 * (1 - code / 65536).
double ApertureFNumber(std::uint16_t code);

// Room each text needs, NUL included.
inline constexpr std::size_t kModTextCapacity = 27;
inline constexpr std::size_t kApertureTextCapacity = 19;
inline constexpr std::size_t kFocalRangeTextCapacity = 55;

// "MOD:  0.9 meters" from a scaled distance in metres.
void FormatMinimumObjectDistance(std::uint16_t raw, char* out, std::size_t capacity);
// "Aperture: f/2.00".
void FormatAperture(std::uint16_t code, char* out, std::size_t capacity);
// "Focal Length  10.0 to  200.0 mm" from two scaled lengths in metres.
void FormatFocalRange(std::uint16_t first_raw, std::uint16_t second_raw, char* out,
                      std::size_t capacity);

}  // namespace kelvaro
