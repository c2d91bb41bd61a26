// Lenses behind a serial device server: "tcp://" is a raw byte stream to a server whose line
// is already set up; "rfc2217://" is Telnet, with binary mode both ways and the COM port
// option setting the line. Both keep the lens's time-outs themselves, counting data bytes
// only, so the core sees the same port as a device.
#include "platform/deadline.h"
#include "platform/read_loop.h"
#include "platform/socket.h"
#include "platform/transport.h"

namespace kelvaro::platform {
namespace {

constexpr int kConnectMs = 2000;
// How long the opening waits for the server to acknowledge the line settings. A server may
// leave some unanswered (DTR and RTS on a device without modem lines): it then goes on.
constexpr int kNegotiationMs = 200;

bool Connect(Port& port, const char*, const PortAddress& address) {
  const Socket socket = SocketConnect(address, kConnectMs);
  if (socket == kNoSocket) return false;
  port.native = socket;
  return true;
}

bool NothingToSet(Port&) { return true; }

// Sends to the server; a connection known to be gone fails at once.
bool Send(Port& port, const std::uint8_t* bytes, std::size_t count) {
  if (port.gone) return false;
  if (SocketSend(port.native, bytes, count, kWriteTotalMs)) return true;
  port.gone = true;
  return false;
}

long ReceiveRaw(void* context, std::uint8_t* buffer, std::size_t capacity, int wait_ms) {
  return SocketReceive(static_cast<Port*>(context)->native, buffer, capacity, wait_ms);
}

// Telnet: the server's commands are taken out, and what it asked for answered.
long ReceiveTelnet(void* context, std::uint8_t* buffer, std::size_t capacity, int wait_ms) {
  Port& port = *static_cast<Port*>(context);
  const long n = SocketReceive(port.native, buffer, capacity, wait_ms);
  if (n <= 0) return n;
  const std::size_t data = port.telnet.Filter(buffer, static_cast<std::size_t>(n));
  std::uint8_t answers[24];
  if (const std::size_t length = port.telnet.TakeAnswers(answers, sizeof answers)) Send(port, answers, length);
  return static_cast<long>(data);
}

std::size_t Read(Port& port, std::uint8_t* buffer, std::size_t capacity, const ReadComplete* complete,
                 Receive receive) {
  if (port.gone) return 0;
  return ReadWithTimeouts(receive, &port, buffer, capacity, complete, port.gone);
}

std::size_t Pending(Port& port, std::uint8_t* buffer, std::size_t capacity, Receive receive) {
  if (port.gone) return 0;
  return ReadArrived(receive, &port, buffer, capacity, port.gone);
}

void Close(Port& port) { SocketClose(port.native); }

// ---- tcp:// -------------------------------------------------------------------------

bool TcpWrite(Port& port, const std::uint8_t* bytes, std::size_t count) { return Send(port, bytes, count); }

std::size_t TcpRead(Port& port, std::uint8_t* buffer, std::size_t capacity, const ReadComplete* complete) {
  return Read(port, buffer, capacity, complete, ReceiveRaw);
}

std::size_t TcpPending(Port& port, std::uint8_t* buffer, std::size_t capacity) {
  return Pending(port, buffer, capacity, ReceiveRaw);
}

// ---- rfc2217:// ---------------------------------------------------------------------

// Connects and sets the line. A server that drops the connection meanwhile (ser2net does
// when its device is busy) cannot be opened; one that refuses COM port control is open all
// the same, and its line settings count as refused.
bool TelnetConnect(Port& port, const char* name, const PortAddress& address) {
  if (!Connect(port, name, address)) return false;
  std::uint8_t opening[telnet::kOpeningBytes];
  bool alive = Send(port, opening, telnet::BuildOpening(opening));
  const Deadline until(kNegotiationMs);
  std::uint8_t scratch[256];
  while (alive && !until.Expired() && !port.telnet.ComPortRefused() &&
         port.telnet.SettingsAcknowledged() < telnet::kSettingCount) {
    // Data before the first request can only be stale: it is dropped with the commands.
    alive = ReceiveTelnet(&port, scratch, sizeof scratch, until.RemainingMs()) >= 0;
  }
  if (!alive) SocketClose(port.native);
  return alive;
}

bool TelnetLineSet(Port& port) { return !port.telnet.ComPortRefused(); }

bool TelnetWrite(Port& port, const std::uint8_t* bytes, std::size_t count) {
  std::uint8_t escaped[64];
  while (count > 0) {
    const std::size_t chunk = count < sizeof escaped / 2 ? count : sizeof escaped / 2;
    if (!Send(port, escaped, telnet::Escape(bytes, chunk, escaped))) return false;
    bytes += chunk;
    count -= chunk;
  }
  return true;
}

std::size_t TelnetRead(Port& port, std::uint8_t* buffer, std::size_t capacity, const ReadComplete* complete) {
  return Read(port, buffer, capacity, complete, ReceiveTelnet);
}

std::size_t TelnetPending(Port& port, std::uint8_t* buffer, std::size_t capacity) {
  return Pending(port, buffer, capacity, ReceiveTelnet);
}

}  // namespace

const Transport kTcpTransport{Connect,  NothingToSet, NothingToSet, NothingToSet,
                              TcpWrite, TcpRead,      TcpPending,   Close};

const Transport kRfc2217Transport{TelnetConnect, NothingToSet, TelnetLineSet, NothingToSet,
                                  TelnetWrite,   TelnetRead,   TelnetPending, Close};

}  // namespace kelvaro::platform
