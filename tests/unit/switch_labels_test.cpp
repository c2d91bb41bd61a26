#include "commands/switch_labels.h"

#include <gtest/gtest.h>

#include <string>

namespace kelvaro {
namespace {

std::string Text(int switch_number, std::uint32_t reply_value, std::uint8_t shown) {
  char text[kSwitchTextCapacity];
  FormatSwitchText(switch_number, SwitchValue(switch_number, reply_value), shown, text, sizeof text);
  return text;
}

TEST(SwitchLabels, ValueMasksPerSwitch) {
  EXPECT_EQ(SwitchValue(0, 0xAE), 14);
  EXPECT_EQ(SwitchValue(2, 0xDF), 1);
  EXPECT_EQ(SwitchValue(2, 0xCF), 0);
  EXPECT_EQ(SwitchValue(3, 0xFE), 14);
  EXPECT_EQ(SwitchValue(4, 0xFC), 4);
  EXPECT_EQ(SwitchValue(4, 0x1207), 7);  // the masks act on the low byte
}

TEST(SwitchLabels, WavelengthLabelsKeepTheirSpaces) {
  EXPECT_EQ(Text(0, 0x0C, 0x0C), "950nm  [c]");
  EXPECT_EQ(Text(0, 0x0D, 0x0D), "880nm  [d]");
  EXPECT_EQ(Text(0, 0x0E, 0x0E), "850nm  [e]");
  EXPECT_EQ(Text(0, 0x0F, 0x0F), "None   [f]");
  EXPECT_EQ(Text(0, 0x03, 0x03), "LensCode [3]");
  EXPECT_EQ(Text(0, 0x0B, 0x0B), "LensCode [b]");
}

TEST(SwitchLabels, IrisMagnifierAndMode) {
  EXPECT_EQ(Text(2, 0xDF, 0xDF), "Remote Iris [df]");
  EXPECT_EQ(Text(2, 0xCF, 0xCF), "Auto Iris [cf]");
  EXPECT_EQ(Text(3, 0xFF, 0xFF), "Mag x1 [ff]");
  EXPECT_EQ(Text(3, 0xFE, 0xFE), "Mag x2 [fe]");
  EXPECT_EQ(Text(4, 0x07, 0x07), "Mode 7 Local/Auto [7]");
  EXPECT_EQ(Text(4, 0xF8, 0xF8), "Mode 0 Host [f8]");
  EXPECT_EQ(Text(4, 0xFC, 0x00), "Mode 4 Host [0]");
}

TEST(SwitchLabels, LongestTextFits) {
  const std::string longest = Text(4, 0xFF, 0xFF);
  EXPECT_EQ(longest, "Mode 7 Local/Auto [ff]");
  EXPECT_EQ(longest.size(), kSwitchTextCapacity - 1);
}

TEST(SwitchLabels, Placeholders) {
  EXPECT_STREQ(SwitchPlaceholder(0), "LensCode");
  EXPECT_STREQ(SwitchPlaceholder(2), "???");
  EXPECT_STREQ(SwitchPlaceholder(4), "???");
}

}  // namespace
}  // namespace kelvaro
