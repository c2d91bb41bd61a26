// Port names: any text parses to a device name, a well-formed URL or "malformed", and what a
// URL gives is always within its limits; written back out, it parses to the same.
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/port_name.h"

using kelvaro::platform::ParsePortName;
using kelvaro::platform::PortAddress;
using kelvaro::platform::PortKind;

namespace {

void Check(bool ok) {
  if (!ok) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::string name(reinterpret_cast<const char*>(data), size);  // stops at a NUL, as C does
  const PortAddress address = ParsePortName(name.c_str());
  if (address.kind != PortKind::kTcp && address.kind != PortKind::kRfc2217) return 0;

  const std::size_t host = std::strlen(address.host);
  Check(host >= 1 && host <= PortAddress::kMaxHost);
  Check(address.port >= 1 && address.port <= 65535);
  for (std::size_t i = 0; i < host; ++i) Check(address.host[i] > ' ' && address.host[i] < 0x7F);

  char again[PortAddress::kMaxHost + 32];
  std::snprintf(again, sizeof again, "%s://%s%s%s:%u", address.kind == PortKind::kTcp ? "tcp" : "rfc2217",
                address.host_is_ipv6 ? "[" : "", address.host, address.host_is_ipv6 ? "]" : "", address.port);
  const PortAddress reparsed = ParsePortName(again);
  Check(reparsed.kind == address.kind && reparsed.port == address.port &&
        std::strcmp(reparsed.host, address.host) == 0);
  return 0;
}
