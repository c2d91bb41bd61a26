#include "commands/identity.h"

#include <cstdint>
#include <cstring>

#include "Kelvaro32.h"
#include "commands/optics_text.h"
#include "core/exchange.h"
#include "core/frame.h"
#include "core/link_state.h"
#include "kelvaro.h"

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

std::uint16_t LastValue(const LinkState& link) { return static_cast<std::uint16_t>(link.ReplyValue & 0xFFFF); }

// Appends the last reply's data bytes (between function code and checksum) to the text of
// `have` characters in `name`, keeping the whole within `capacity` with its NUL.
std::size_t AppendReplyText(const LinkState& link, char* name, std::size_t have, std::size_t capacity) {
  std::size_t extra = link.reply_count - kMinFrameBytes;
  if (extra > capacity - 1 - have) extra = capacity - 1 - have;
  std::memcpy(name + have, link.reply + 2, extra);
  name[have + extra] = '\0';
  return have + extra;
}

// A query whose reply must be good; its value is then the reply's.
int QueryValue(LinkState& link, std::uint8_t function, std::uint16_t& value) {
  int code = KELVARO_OK;
  Query(link, function, code);
  if (code == KELVARO_OK) value = LastValue(link);
  return code;
}

}  // namespace

int ReadLensName(LinkState& link, char* name) {
  int first = KELVARO_OK;
  if (!Query(link, kNameFirstPart, first)) return first;
  // After a failed or empty reply this is the name kept from the last one that carried one.
  if (name != nullptr) std::strcpy(name, link.LensNameText);
  if (first != KELVARO_OK || std::strlen(link.LensNameText) < kNameContinues) return first;

  int second = KELVARO_OK;
  if (Query(link, kNameSecondPart, second) && second == KELVARO_OK && name != nullptr) {
    AppendReplyText(link, name, std::strlen(name), kNameCapacity);
  }
  return second;
}

int ReadFocalLengthRange(LinkState& link, char* text) {
  int first = KELVARO_OK;
  if (!Query(link, kFocalFirst, first)) return first;
  const std::uint16_t first_value = LastValue(link);
  int second = KELVARO_OK;
  if (!Query(link, kFocalSecond, second)) return second;

  if (text != nullptr) FormatFocalRange(first_value, LastValue(link), text, kFocalRangeTextCapacity);
  return first != KELVARO_OK ? first : second;
}

int ReadMinimumObjectDistance(LinkState& link, char* text) {
  int code = KELVARO_OK;
  if (!Query(link, kMinimumObjectDistance, code)) return code;
  if (text != nullptr) FormatMinimumObjectDistance(LastValue(link), text, kModTextCapacity);
  return code;
}

int ReadMaximumAperture(LinkState& link, char* text) {
  int code = KELVARO_OK;
  if (!Query(link, kAperture, code)) return code;
  if (text != nullptr) FormatAperture(LastValue(link), text, kApertureTextCapacity);
  return code;
}

int ReadWholeName(LinkState& link, char* name, std::size_t size) {
  // Built in a scratch copy, so a failure of the second part leaves `name` as it was.
  char whole[kNameCapacity * 2];
  int code = KELVARO_OK;
  Query(link, kNameFirstPart, code);
  if (code != KELVARO_OK) return code;
  std::size_t length = AppendReplyText(link, whole, 0, sizeof whole);
  if (length >= kNameContinues) {
    Query(link, kNameSecondPart, code);
    if (code != KELVARO_OK) return code;
    length = AppendReplyText(link, whole, length, sizeof whole);
  }
  if (length > size - 1) length = size - 1;
  std::memcpy(name, whole, length);
  name[length] = '\0';
  return KELVARO_OK;
}

int ReadOptics(LinkState& link, kelvaro_optics& optics) {
  std::uint16_t wide = 0;
  std::uint16_t tele = 0;
  std::uint16_t mod = 0;
  std::uint16_t aperture = 0;
  int code = QueryValue(link, kFocalFirst, wide);
  if (code == KELVARO_OK) code = QueryValue(link, kFocalSecond, tele);
  if (code == KELVARO_OK) code = QueryValue(link, kMinimumObjectDistance, mod);
  if (code == KELVARO_OK) code = QueryValue(link, kAperture, aperture);
  if (code != KELVARO_OK) return code;
  optics.focal_min_mm = FocalLengthMm(wide);
  optics.focal_max_mm = FocalLengthMm(tele);
  optics.mod_m = DecodeScaledNumber(mod);
  optics.f_number = ApertureFNumber(aperture);
  return KELVARO_OK;
}

}  // namespace kelvaro
