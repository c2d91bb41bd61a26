// The receive path of a lens behind a Telnet serial server: whatever the server sends, the
// data bytes that come out are the same however the stream is cut into reads, never more
// than went in, and data escaped by the client's own rule comes back unchanged.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "platform/telnet.h"

namespace telnet = kelvaro::platform::telnet;

namespace {

void Check(bool ok) {
  if (!ok) std::abort();
}

std::vector<std::uint8_t> FilterInPieces(const std::uint8_t* data, std::size_t size, std::size_t piece) {
  telnet::Receiver receiver;
  std::vector<std::uint8_t> out;
  for (std::size_t at = 0; at < size; at += piece) {
    const std::size_t n = size - at < piece ? size - at : piece;
    std::vector<std::uint8_t> chunk(data + at, data + at + n);
    const std::size_t kept = receiver.Filter(chunk.data(), n);
    Check(kept <= n);
    out.insert(out.end(), chunk.begin(), chunk.begin() + static_cast<long>(kept));
    std::uint8_t answers[24];
    Check(receiver.TakeAnswers(answers, sizeof answers) % 3 == 0);
  }
  return out;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  if (size == 0) return 0;
  const std::size_t piece = 1 + data[0] % 7;
  const auto whole = FilterInPieces(data + 1, size - 1, size);
  Check(FilterInPieces(data + 1, size - 1, piece) == whole);
  Check(FilterInPieces(data + 1, size - 1, 1) == whole);

  // The client's escaping, filtered back, is the data itself.
  std::vector<std::uint8_t> escaped(2 * size);
  const std::size_t n = telnet::Escape(data, size, escaped.data());
  Check(FilterInPieces(escaped.data(), n, piece) == std::vector<std::uint8_t>(data, data + size));
  return 0;
}
