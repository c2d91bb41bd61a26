// Every result code's text, appended to what the caller's text already holds.
#include <climits>
#include <cstring>
#include <memory>

#include "kelvaro.h"
#include "lens_fixture.h"

namespace kelvaro_test {
namespace {

TEST(ResultText, EveryCodeHasItsText) {
  const std::pair<int, const char*> texts[] = {
      {0, " OK"},
      {1, " General Failure"},
      {3, " Library Not Initialized"},
      {4, " Timeout"},
      {5, " Communications Error"},
      {6, " Wrong Reply Code"},
      {7, " Unable To Open Port"},
      {8, " Port Already Open"},
      {10, " Port Not Open"},
      {12, " Bad Checksum"},
      {13, " Reply Too Short"},
      {14, " Could Not Connect To Lens"},
      {2, " Error code = 2"},
      {9, " Error code = 9"},
      {11, " Error code = 11"},
      {15, " Error code = 15"},
      {-1, " Error code = -1"},
      {INT_MAX, " Error code = 2147483647"},
      {INT_MIN, " Error code = -2147483648"},
  };
  for (const auto& [code, text] : texts) {
    EXPECT_EQ(ResultText(code), text) << code;
    // The handle interface names the same codes without the leading space.
    if (std::strncmp(text, " Error code", 11) != 0) {
      EXPECT_STREQ(kelvaro_result_text(code), text + 1) << code;
    }
  }
  GetResultString(0, nullptr);  // a NULL text is not written: no crash
}

TEST(ResultText, HandleInterfaceCodesHaveTextsOnlyThere) {
  EXPECT_STREQ(kelvaro_result_text(KELVARO_INVALID_ARGUMENT), "Invalid Argument");
  EXPECT_STREQ(kelvaro_result_text(KELVARO_NO_FREE_LENS), "No Free Lens");
  for (int code : {2, 9, 100, 103, -1, INT_MIN}) EXPECT_STREQ(kelvaro_result_text(code), "Unknown Result Code");
  // The flat texts stay as they always were.
  EXPECT_EQ(ResultText(KELVARO_INVALID_ARGUMENT), " Error code = 101");
  EXPECT_EQ(ResultText(KELVARO_NO_FREE_LENS), " Error code = 102");
}

TEST(ResultText, AppendsToTheCallersText) {
  char text[80] = "Zoom:";
  GetResultString(13, text);
  EXPECT_STREQ(text, "Zoom: Reply Too Short");
  GetResultString(0, text);
  EXPECT_STREQ(text, "Zoom: Reply Too Short OK");
}

TEST(ResultText, LongestTextsFitTwentySevenBytesOfRoom) {
  // Exactly the promised room, on the heap so an overrun is caught by the sanitizers.
  for (int code : {14, INT_MIN}) {
    auto text = std::make_unique<char[]>(4 + 27);
    std::strcpy(text.get(), "abc");
    GetResultString(code, text.get());
    EXPECT_LE(std::strlen(text.get()), 3u + 26u);
  }
}

}  // namespace
}  // namespace kelvaro_test
