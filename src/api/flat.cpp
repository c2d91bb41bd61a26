// The flat functions of Kelvaro32.h: each holds the library lock (the flat record's) and
// forwards to the same commands as the handle interface, on the flat record's link.
#include <cstdio>
#include <cstring>

#include "Kelvaro32.h"
#include "autoconnect/auto_connect.h"
#include "commands/identity.h"
#include "commands/positions.h"
#include "commands/switches.h"
#include "core/exchange.h"
#include "core/lens_pool.h"
#include "core/link_state.h"
#include "core/port.h"
#include "core/result_text.h"
#include "platform/serial.h"

using kelvaro::FlatLens;
using kelvaro::Motor;

extern "C" {

KELVARO_API(int) InitializeLensControl(void) {
  FlatLens flat;
  flat.Link().initialised = 1;
  // Every call adds one more once-a-second check; the library works on without one.
  if (!kelvaro::StartFlatCheck(kelvaro::CheckLens)) {
    std::fputs("timer failed\n", stdout);
    std::fflush(stdout);
  }
  return KELVARO_OK;
}

KELVARO_API(int) IsAutoConnected(void) {
  FlatLens flat;
  return flat.Link().auto_connected;
}

KELVARO_API(int) OpenComPort(const char* portName) {
  FlatLens flat;
  if (!flat.Link().initialised) return KELVARO_NOT_INITIALIZED;
  return kelvaro::OpenLinkPort(flat.Link(), portName);
}

KELVARO_API(int) CloseComPort(void) {
  FlatLens flat;
  if (flat.Link().port == kelvaro::platform::kNoPort) return KELVARO_PORT_NOT_OPEN;
  kelvaro::CloseLinkPort(flat.Link());
  return KELVARO_OK;
}

KELVARO_API(int) Connect(void) {
  FlatLens flat;
  return kelvaro::ConnectLens(flat.Link());
}

KELVARO_API(int) Reset(void) {
  FlatLens flat;
  return kelvaro::Handshake(flat.Link());
}

// The caller promises room for 27 more bytes: the longest text is 26 characters.
// Touches no link state, so it does not wait for a lens exchange in flight.
KELVARO_API(void) GetResultString(int code, char* text) {
  if (text == nullptr) return;
  kelvaro::FormatResultText(code, text + std::strlen(text), 27);
}

KELVARO_API(int) SetLensIris(unsigned short position) {
  FlatLens flat;
  return kelvaro::MovePosition(flat.Link(), Motor::kIris, position);
}
KELVARO_API(int) SetLensZoom(unsigned short position) {
  FlatLens flat;
  return kelvaro::MovePosition(flat.Link(), Motor::kZoom, position);
}
KELVARO_API(int) SetLensFocus(unsigned short position) {
  FlatLens flat;
  return kelvaro::MovePosition(flat.Link(), Motor::kFocus, position);
}
KELVARO_API(int) GetLensIris(unsigned short* position) {
  FlatLens flat;
  return kelvaro::ReadPosition(flat.Link(), Motor::kIris, position);
}
KELVARO_API(int) GetLensZoom(unsigned short* position) {
  FlatLens flat;
  return kelvaro::ReadPosition(flat.Link(), Motor::kZoom, position);
}
KELVARO_API(int) GetLensFocus(unsigned short* position) {
  FlatLens flat;
  return kelvaro::ReadPosition(flat.Link(), Motor::kFocus, position);
}

KELVARO_API(int) SetSwitch0Host(unsigned char value) {
  FlatLens flat;
  return kelvaro::SetSwitch(flat.Link(), 0, value);
}
KELVARO_API(int) SetSwitch2Host(unsigned char value) {
  FlatLens flat;
  return kelvaro::SetSwitch(flat.Link(), 2, value);
}
KELVARO_API(int) SetSwitch3Host(unsigned char value) {
  FlatLens flat;
  return kelvaro::SetSwitch(flat.Link(), 3, value);
}
KELVARO_API(int) SetSwitch4Host(unsigned char value) {
  FlatLens flat;
  return kelvaro::SetSwitch(flat.Link(), 4, value);
}
KELVARO_API(int) GetSwitch0Host(char* text, unsigned short* value) {
  FlatLens flat;
  return kelvaro::GetSwitch(flat.Link(), 0, text, value);
}
KELVARO_API(int) GetSwitch2Host(char* text, unsigned short* value) {
  FlatLens flat;
  return kelvaro::GetSwitch(flat.Link(), 2, text, value);
}
KELVARO_API(int) GetSwitch3Host(char* text, unsigned short* value) {
  FlatLens flat;
  return kelvaro::GetSwitch(flat.Link(), 3, text, value);
}
KELVARO_API(int) GetSwitch4Host(char* text, unsigned short* value) {
  FlatLens flat;
  return kelvaro::GetSwitch(flat.Link(), 4, text, value);
}
KELVARO_API(int) Set2XMag(unsigned short on) {
  FlatLens flat;
  return kelvaro::SetMagnifier(flat.Link(), on);
}
KELVARO_API(int) Get2XMag(unsigned short* on) {
  FlatLens flat;
  return kelvaro::GetMagnifier(flat.Link(), on);
}
KELVARO_API(int) SetAutoIris(unsigned short on) {
  FlatLens flat;
  return kelvaro::SetAutoIrisMode(flat.Link(), on);
}

KELVARO_API(int) GetLensName(char* name) {
  FlatLens flat;
  return kelvaro::ReadLensName(flat.Link(), name);
}
KELVARO_API(int) GetLensFocalLengthRange(char* text) {
  FlatLens flat;
  return kelvaro::ReadFocalLengthRange(flat.Link(), text);
}
KELVARO_API(int) GetLensMOD(char* text) {
  FlatLens flat;
  return kelvaro::ReadMinimumObjectDistance(flat.Link(), text);
}
KELVARO_API(int) GetLensOpenFNo(char* text) {
  FlatLens flat;
  return kelvaro::ReadMaximumAperture(flat.Link(), text);
}

}  // extern "C"

// Kept for hosts that construct and assign one; the library never uses it.
CLens::CLens() = default;

CLens& CLens::operator=(const CLens&) { return *this; }
