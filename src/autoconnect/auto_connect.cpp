#include "autoconnect/auto_connect.h"

#include "Kelvaro32.h"
#include "commands/positions.h"
#include "commands/switches.h"
#include "core/exchange.h"
#include "core/link_state.h"
#include "core/port.h"
#include "platform/serial.h"

namespace kelvaro {
namespace {

constexpr std::uint8_t kHostModeZero = 0xF8;  // switch 4: mode 0, host

}  // namespace

void CheckLens(LinkState& link, const char* reopen_name) {
  if (reopen_name != nullptr && (link.port == platform::kNoPort || platform::SerialGone(link.port))) {
    link.auto_connected = 0;
    // Not back yet, or back without its settings (then closed again): the next check tries.
    if (OpenLinkPort(link, reopen_name) != KELVARO_OK) return;
  }
  if (link.auto_connected && link.streaming) {
    // The stream's replies since the last check are the sign of life; no query of its own.
    if (link.stream_replies == link.stream_replies_checked) link.auto_connected = 0;
    link.stream_replies_checked = link.stream_replies;
    return;
  }
  if (link.auto_connected) {
    unsigned short zoom = 0;
    if (ReadPosition(link, Motor::kZoom, &zoom) != KELVARO_OK) link.auto_connected = 0;
    return;
  }
  if (ConnectLens(link) == KELVARO_OK) {
    link.auto_connected = 1;
    SetSwitch(link, 4, kHostModeZero);  // the lens answers to the host from now on; code not needed
  }
}

}  // namespace kelvaro
