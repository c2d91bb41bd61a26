// The serial interface over its transports: the port's name picks the transport, here and
// nowhere else; ports come from a fixed table, so opening one allocates nothing.
#include "platform/serial.h"

#include "platform/transport.h"

namespace kelvaro::platform {
namespace {

// The flat functions' one port and every lens of the handle interface, with room to spare.
constexpr std::size_t kMaxPorts = 72;
Port g_ports[kMaxPorts];

Port& Of(PortHandle port) { return *reinterpret_cast<Port*>(port); }

const Transport* TransportFor(PortKind kind) {
  switch (kind) {
    case PortKind::kDevice: return &kDeviceTransport;
    case PortKind::kTcp: return &kTcpTransport;
    case PortKind::kRfc2217: return &kRfc2217Transport;
    case PortKind::kMalformed: break;
  }
  return nullptr;
}

}  // namespace

bool PortNameWellFormed(const char* name) { return ParsePortName(name).kind != PortKind::kMalformed; }

PortHandle SerialOpen(const char* name) {
  const PortAddress address = ParsePortName(name);
  const Transport* transport = TransportFor(address.kind);
  if (transport == nullptr) return kNoPort;
  for (Port& port : g_ports) {
    bool free = false;
    if (!port.in_use.compare_exchange_strong(free, true)) continue;
    port.transport = transport;
    port.native = 0;
    port.gone = false;
    port.telnet = telnet::Receiver();
    if (transport->open(port, name, address)) return reinterpret_cast<PortHandle>(&port);
    port.in_use.store(false);
    return kNoPort;
  }
  return kNoPort;
}

bool SerialApplyTimeouts(PortHandle port) { return Of(port).transport->apply_timeouts(Of(port)); }
bool SerialApplyLineSettings(PortHandle port) { return Of(port).transport->apply_line_settings(Of(port)); }
bool SerialSetEventMask(PortHandle port) { return Of(port).transport->set_event_mask(Of(port)); }

bool SerialWrite(PortHandle port, const std::uint8_t* bytes, std::size_t count) {
  return Of(port).transport->write(Of(port), bytes, count);
}

std::size_t SerialRead(PortHandle port, std::uint8_t* buffer, std::size_t capacity, const ReadComplete* complete) {
  return Of(port).transport->read(Of(port), buffer, capacity, complete);
}

std::size_t SerialReadPending(PortHandle port, std::uint8_t* buffer, std::size_t capacity) {
  return Of(port).transport->read_pending(Of(port), buffer, capacity);
}

bool SerialGone(PortHandle port) { return Of(port).gone; }

void SerialClose(PortHandle port) {
  if (port == kNoPort) return;
  Port& open = Of(port);
  open.transport->close(open);
  open.in_use.store(false);
}

}  // namespace kelvaro::platform
