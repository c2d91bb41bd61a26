#include "platform/port_name.h"

#include <cstring>

namespace kelvaro::platform {
namespace {

// The scheme, matched without regard to case; returns what follows it, or nullptr.
const char* AfterScheme(const char* name, const char* scheme) {
  const std::size_t length = std::strlen(scheme);
  for (std::size_t i = 0; i < length; ++i) {
    char c = name[i];
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    if (c != scheme[i]) return nullptr;
  }
  return name + length;
}

bool HostNameChar(char c) {
  return (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '-' || c == '.' ||
         c == '_';
}

bool Ipv6Char(char c) {
  return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || (c >= 'A' && c <= 'F') || c == ':' || c == '.';
}

// Decimal 1 to 65535, digits only, nothing after it.
bool ParsePort(const char* text, unsigned& port) {
  if (*text == '\0') return false;
  unsigned value = 0;
  for (const char* p = text; *p != '\0'; ++p) {
    if (*p < '0' || *p > '9') return false;
    value = value * 10 + static_cast<unsigned>(*p - '0');
    if (value > 65535) return false;
  }
  if (value == 0) return false;
  port = value;
  return true;
}

bool ParseHostAndPort(const char* rest, PortAddress& address) {
  const char* host_end = nullptr;
  const char* host_start = rest;
  if (*rest == '[') {
    host_start = rest + 1;
    host_end = std::strchr(host_start, ']');
    if (host_end == nullptr || host_end[1] != ':') return false;
    for (const char* p = host_start; p < host_end; ++p) {
      if (!Ipv6Char(*p)) return false;
    }
    address.host_is_ipv6 = true;
  } else {
    host_end = std::strrchr(rest, ':');
    if (host_end == nullptr) return false;
    for (const char* p = host_start; p < host_end; ++p) {
      if (!HostNameChar(*p)) return false;
    }
  }
  const std::size_t length = static_cast<std::size_t>(host_end - host_start);
  if (length == 0 || length > PortAddress::kMaxHost) return false;
  const char* port_text = host_end + (address.host_is_ipv6 ? 2 : 1);
  if (!ParsePort(port_text, address.port)) return false;
  std::memcpy(address.host, host_start, length);
  address.host[length] = '\0';
  return true;
}

}  // namespace

PortAddress ParsePortName(const char* name) {
  PortAddress address;
  if (name == nullptr || *name == '\0') return address;
  PortKind kind = PortKind::kDevice;
  const char* rest = nullptr;
  if ((rest = AfterScheme(name, "tcp://")) != nullptr) {
    kind = PortKind::kTcp;
  } else if ((rest = AfterScheme(name, "rfc2217://")) != nullptr) {
    kind = PortKind::kRfc2217;
  } else {
    address.kind = PortKind::kDevice;
    return address;
  }
  if (ParseHostAndPort(rest, address)) address.kind = kind;
  return address;
}

}  // namespace kelvaro::platform
