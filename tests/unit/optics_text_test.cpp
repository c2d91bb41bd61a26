#include "commands/optics_text.h"

#include <gtest/gtest.h>

#include <string>

namespace kelvaro {
namespace {

std::uint16_t Scaled(int mantissa, int exponent) {
  return static_cast<std::uint16_t>(((exponent & 0xF) << 12) | (mantissa & 0x0FFF));
}

TEST(ScaledNumber, SpansTheExponentRange) {
  EXPECT_FLOAT_EQ(DecodeScaledNumber(0xD384), 0.9f);  // 900 x 10^-3
  EXPECT_FLOAT_EQ(DecodeScaledNumber(Scaled(1, 7)), 1e7f);
  EXPECT_FLOAT_EQ(DecodeScaledNumber(Scaled(1, -8)), 1e-8f);
  EXPECT_FLOAT_EQ(DecodeScaledNumber(Scaled(4095, 0)), 4095.0f);
  EXPECT_FLOAT_EQ(DecodeScaledNumber(Scaled(0, 5)), 0.0f);
  EXPECT_FLOAT_EQ(DecodeScaledNumber(Scaled(4095, 7)), 4095e7f);
  EXPECT_FLOAT_EQ(DecodeScaledNumber(Scaled(123, -1)), 12.3f);
}

TEST(Aperture, FNumberFromTheCode) {
  EXPECT_DOUBLE_EQ(ApertureFNumber(0), 256.0);
  EXPECT_NEAR(ApertureFNumber(0xC000), 4.0, 1e-12);
  EXPECT_NEAR(ApertureFNumber(0xE000), 2.0, 1e-12);
  EXPECT_NEAR(ApertureFNumber(0xE800), 1.6818, 1e-4);
  EXPECT_NEAR(ApertureFNumber(0xFFFF), 1.0, 1e-3);
}

std::string Mod(std::uint16_t raw) {
  char text[kModTextCapacity];
  FormatMinimumObjectDistance(raw, text, sizeof text);
  return text;
}

std::string Aperture(std::uint16_t code) {
  char text[kApertureTextCapacity];
  FormatAperture(code, text, sizeof text);
  return text;
}

std::string Range(std::uint16_t first, std::uint16_t second) {
  char text[kFocalRangeTextCapacity];
  FormatFocalRange(first, second, text, sizeof text);
  return text;
}

TEST(OpticsText, ExactTextsWithTheirSpaces) {
  EXPECT_EQ(Mod(0xD384), "MOD:  0.9 meters");
  EXPECT_EQ(Aperture(0xE000), "Aperture: f/2.00");
  EXPECT_EQ(Aperture(0xC000), "Aperture: f/4.00");
  EXPECT_EQ(Aperture(0xE800), "Aperture: f/1.68");
  EXPECT_EQ(Range(0xD00A, 0xD0C8), "Focal Length  10.0 to  200.0 mm");
}

TEST(OpticsText, LongestValuesFitTheirBuffers) {
  // Mantissa 4095 with exponent 7, in millimetres, is the longest number: 17 characters.
  const std::string widest = Range(Scaled(4095, 7), Scaled(4095, 7));
  EXPECT_EQ(widest.size(), kFocalRangeTextCapacity - 1);
  EXPECT_EQ(widest.substr(0, 31), "Focal Length  40950001664000.0 ");
  EXPECT_EQ(Aperture(0), "Aperture: f/256.00");
  EXPECT_EQ(Aperture(0).size(), kApertureTextCapacity - 1);
  EXPECT_EQ(Mod(Scaled(4095, 7)), "MOD:  40950001664.0 meters");
  EXPECT_LT(Mod(Scaled(4095, 7)).size(), kModTextCapacity);
}

}  // namespace
}  // namespace kelvaro
