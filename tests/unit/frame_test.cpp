#include "core/frame.h"

#include <gtest/gtest.h>

#include <vector>

namespace kelvaro {
namespace {

std::vector<std::uint8_t> Request(std::uint8_t function, std::uint16_t value, std::size_t data_count) {
  std::uint8_t frame[kMaxRequestBytes];
  const std::size_t length = BuildRequest(function, value, data_count, frame);
  return {frame, frame + length};
}

TEST(Frame, RequestsMatchTheLensExamples) {
  using Bytes = std::vector<std::uint8_t>;
  EXPECT_EQ(Request(0x01, 0, 0), (Bytes{0x00, 0x01, 0xFF}));
  EXPECT_EQ(Request(0x31, 0, 0), (Bytes{0x00, 0x31, 0xCF}));
  EXPECT_EQ(Request(0x21, 0x8000, 2), (Bytes{0x02, 0x21, 0x80, 0x00, 0x5D}));
  EXPECT_EQ(Request(0x44, 0xF8, 1), (Bytes{0x01, 0x44, 0xF8, 0xC3}));
  // One data byte carries only the low 8 bits of the value.
  EXPECT_EQ(Request(0x43, 0x12FE, 1), (Bytes{0x01, 0x43, 0xFE, 0xBE}));
}

TEST(Frame, EveryRequestSumsToZero) {
  for (unsigned value = 0; value <= 0xFFFF; value += 0x0FF1) {
    for (std::size_t n = 0; n <= 2; ++n) {
      const auto frame = Request(0x20, static_cast<std::uint16_t>(value), n);
      ASSERT_EQ(frame.size(), n + 3);
      EXPECT_EQ(ByteSum(frame.data(), frame.size()), 0) << value << " " << n;
    }
  }
}

TEST(Frame, ChecksumIsTheTwosComplementOfTheSum) {
  const std::uint8_t bytes[] = {0x02, 0x31, 0x80, 0x00};
  EXPECT_EQ(FrameChecksum(bytes, 4), 0x4D);
  const std::uint8_t wraps[] = {0xFF, 0xFF, 0x02};  // sum 0x200 -> 0
  EXPECT_EQ(FrameChecksum(wraps, 3), 0x00);
}

TEST(Frame, ReplyValueDependsOnlyOnTheCountDelivered) {
  const std::uint8_t reply[] = {0x07, 0x31, 0xAB, 0xCD, 0xEF, 0x12};
  EXPECT_EQ(DecodeReplyValue(reply, 3), 0);
  EXPECT_EQ(DecodeReplyValue(reply, 4), 0xAB);  // whatever the length byte says
  EXPECT_EQ(DecodeReplyValue(reply, 5), 0xABCD);
  EXPECT_EQ(DecodeReplyValue(reply, 6), 0xABCD);  // later bytes do not count
}

TEST(Frame, AWholeFrameIsExactlyItsLengthAndSumsToZero) {
  const std::uint8_t reply[] = {0x02, 0x31, 0x80, 0x00, 0x4D, 0x00, 0x31, 0xCF};
  EXPECT_TRUE(IsWholeFrame(reply, 5));
  EXPECT_FALSE(IsWholeFrame(reply, 4));  // not yet all of it
  EXPECT_FALSE(IsWholeFrame(reply, 8));  // more than one frame
  const std::uint8_t empty[] = {0x00, 0x31, 0xCF};
  EXPECT_TRUE(IsWholeFrame(empty, 3));
  EXPECT_FALSE(IsWholeFrame(empty, 2));
  EXPECT_FALSE(IsWholeFrame(empty, 0));
  const std::uint8_t bad_sum[] = {0x00, 0x31, 0xCE};
  EXPECT_FALSE(IsWholeFrame(bad_sum, 3));  // the length fits, the sum does not: keep reading
  const std::uint8_t long_length[] = {0xFF, 0x01, 0x00};  // sums to 0, says 258 bytes
  EXPECT_FALSE(IsWholeFrame(long_length, 3));
}

}  // namespace
}  // namespace kelvaro
