#include "commands/identity.h"

#include <cstdint>
#include <cstring>

#include "Kelvaro32.h"
#include "commands/optics_text.h"
#include "core/exchange.h"
#include "core/link_state.h"
#include "platform/timer.h"

namespace kelvaro {
namespace {

constexpr std::uint8_t kNameFirstPart = 0x11;
constexpr std::uint8_t kNameSecondPart = 0x12;
constexpr std::uint8_t kAperture = 0x13;
constexpr std::uint8_t kFocalSecond = 0x14;
constexpr std::uint8_t kFocalFirst = 0x15;
constexpr std::uint8_t kMinimumObjectDistance = 0x16;

// A first part this long means the lens has more of its name to give.
constexpr std::size_t kNameContinues = 15;

std::uint16_t LastValue() { return static_cast<std::uint16_t>(g_link.ReplyValue & 0xFFFF); }

// Appends the second part's bytes (between function code and checksum) to `name`,
// keeping the whole within the name capacity.
void AppendSecondPart(char* name) {
  const std::size_t have = std::strlen(name);
  std::size_t extra = g_link.reply_count - 3;
  if (extra > kNameCapacity - 1 - have) extra = kNameCapacity - 1 - have;
  std::memcpy(name + have, g_link.reply + 2, extra);
  name[have + extra] = '\0';
}

}  // namespace

int ReadLensName(char* name) {
  int first = KELVARO_OK;
  if (!Query(kNameFirstPart, first)) return first;
  // After a failed or empty reply this is the name kept from the last one that carried one.
  if (name != nullptr) std::strcpy(name, g_link.LensNameText);
  if (first != KELVARO_OK || std::strlen(g_link.LensNameText) < kNameContinues) return first;

  int second = KELVARO_OK;
  if (Query(kNameSecondPart, second) && second == KELVARO_OK && name != nullptr) AppendSecondPart(name);
  return second;
}

int ReadFocalLengthRange(char* text) {
  int first = KELVARO_OK;
  if (!Query(kFocalFirst, first)) return first;
  const std::uint16_t first_value = LastValue();
  int second = KELVARO_OK;
  if (!Query(kFocalSecond, second)) return second;

  if (text != nullptr) FormatFocalRange(first_value, LastValue(), text, kFocalRangeTextCapacity);
  return first != KELVARO_OK ? first : second;
}

int ReadMinimumObjectDistance(char* text) {
  int code = KELVARO_OK;
  if (!Query(kMinimumObjectDistance, code)) return code;
  if (text != nullptr) FormatMinimumObjectDistance(LastValue(), text, kModTextCapacity);
  return code;
}

int ReadMaximumAperture(char* text) {
  int code = KELVARO_OK;
  if (!Query(kAperture, code)) return code;
  if (text != nullptr) FormatAperture(LastValue(), text, kApertureTextCapacity);
  return code;
}

}  // namespace kelvaro

using kelvaro::platform::LibraryLock;

extern "C" {

KELVARO_API(int) GetLensName(char* name) {
  LibraryLock lock;
  return kelvaro::ReadLensName(name);
}
KELVARO_API(int) GetLensFocalLengthRange(char* text) {
  LibraryLock lock;
  return kelvaro::ReadFocalLengthRange(text);
}
KELVARO_API(int) GetLensMOD(char* text) {
  LibraryLock lock;
  return kelvaro::ReadMinimumObjectDistance(text);
}
KELVARO_API(int) GetLensOpenFNo(char* text) {
  LibraryLock lock;
  return kelvaro::ReadMaximumAperture(text);
}

}  // extern "C"
