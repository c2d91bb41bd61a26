// A serial device on Win32: a COM port opened exclusively, synchronous I/O, the lens's
// time-outs enforced by the driver through COMMTIMEOUTS, set by each read for itself.
#include "platform/read_loop.h"
#include "platform/transport.h"

#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <cstdio>
#include <cstring>

namespace kelvaro::platform {
namespace {

HANDLE ToHandle(const Port& port) { return reinterpret_cast<HANDLE>(port.native); }

// COM1 to COM9 open by their bare names; from COM10 on Windows wants the device namespace
// prefix. A name given with the prefix, or any other name, is used as it is.
const char* DevicePath(const char* name, char (&path)[16]) {
  const bool com = (name[0] == 'C' || name[0] == 'c') && (name[1] == 'O' || name[1] == 'o') &&
                   (name[2] == 'M' || name[2] == 'm');
  std::size_t digits = 0;
  while (com && name[3 + digits] >= '0' && name[3 + digits] <= '9') ++digits;
  if (!com || name[3 + digits] != '\0' || digits < 2 || digits > 3 || name[3] == '0') return name;
  std::snprintf(path, sizeof path, "\\\\.\\%s", name);
  return path;
}

// What a handle of a removed USB serial adapter (or a port otherwise gone) reports.
bool DeviceGone(DWORD error) {
  switch (error) {
    case ERROR_ACCESS_DENIED:
    case ERROR_BAD_COMMAND:
    case ERROR_GEN_FAILURE:
    case ERROR_INVALID_HANDLE:
    case ERROR_DEVICE_NOT_CONNECTED:
    case ERROR_DEVICE_REMOVED:
    case ERROR_FILE_NOT_FOUND:
    case ERROR_BROKEN_PIPE:
      return true;
    default:
      return false;
  }
}

bool Open(Port& port, const char* name, const PortAddress&) {
  char path[16];
  HANDLE h = CreateFileA(DevicePath(name, path), GENERIC_READ | GENERIC_WRITE, 0 /* exclusive */, nullptr,
                         OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE || h == nullptr) return false;
  port.native = reinterpret_cast<std::intptr_t>(h);
  return true;
}

// Every read sets the time-outs it relies on: the last read's may have been others. A total
// of 0 with no interval would mean no time-out at all, so no read asks for less than 1 ms.
bool SetReadTimeouts(Port& port, DWORD interval_ms, DWORD total_ms) {
  COMMTIMEOUTS t{};
  t.ReadIntervalTimeout = interval_ms;
  t.ReadTotalTimeoutConstant = total_ms < 1 ? 1 : total_ms;
  t.WriteTotalTimeoutConstant = kWriteTotalMs;
  return SetCommTimeouts(ToHandle(port), &t) != FALSE;
}

bool ApplyTimeouts(Port& port) { return SetReadTimeouts(port, kReadIntervalMs, kReadTotalMs); }

bool ApplyLineSettings(Port& port) {
  // Built from nothing rather than read back and patched, so the line is the same whatever
  // the previous user of the port left behind.
  DCB dcb;
  ZeroMemory(&dcb, sizeof dcb);
  dcb.DCBlength = sizeof dcb;
  dcb.BaudRate = CBR_38400;
  dcb.fBinary = TRUE;
  dcb.fParity = FALSE;
  dcb.fOutxCtsFlow = FALSE;
  dcb.fOutxDsrFlow = FALSE;
  dcb.fDtrControl = DTR_CONTROL_ENABLE;
  dcb.fDsrSensitivity = FALSE;
  dcb.fTXContinueOnXoff = TRUE;
  dcb.fOutX = FALSE;
  dcb.fInX = FALSE;
  dcb.fErrorChar = FALSE;
  dcb.fNull = FALSE;
  dcb.fRtsControl = RTS_CONTROL_ENABLE;
  dcb.fAbortOnError = TRUE;
  dcb.fDummy2 = 0;
  dcb.wReserved = 0;
  dcb.XonLim = 2048;
  dcb.XoffLim = 512;
  dcb.ByteSize = 8;
  dcb.Parity = NOPARITY;
  dcb.StopBits = ONESTOPBIT;
  dcb.XonChar = 0x11;
  dcb.XoffChar = 0x13;
  dcb.ErrorChar = 0;
  dcb.EofChar = 0;
  dcb.EvtChar = 0;
  dcb.wReserved1 = 0;
  return SetCommState(ToHandle(port), &dcb) != FALSE;
}

bool SetEventMask(Port& port) {
  return SetCommMask(ToHandle(port), EV_TXEMPTY) != FALSE;
}

bool Write(Port& port, const std::uint8_t* bytes, std::size_t count) {
  // The count written is not looked at: a write that times out short still reports success
  // here, and the missing reply shows up as a read time-out instead.
  DWORD written = 0;
  if (WriteFile(ToHandle(port), bytes, static_cast<DWORD>(count), &written, nullptr)) return true;
  if (DeviceGone(GetLastError())) port.gone = true;
  return false;
}

// How many bytes have arrived; -1 when the port is gone.
long Arrived(Port& port) {
  COMSTAT status{};
  DWORD errors = 0;
  if (!ClearCommError(ToHandle(port), &errors, &status)) return DeviceGone(GetLastError()) ? -1 : 0;
  return static_cast<long>(status.cbInQue);
}

// Reads `want` bytes within `total_ms`: the count, or -1 when the port is gone.
long ReadSome(Port& port, std::uint8_t* buffer, DWORD want, DWORD total_ms) {
  DWORD got = 0;
  if (!SetReadTimeouts(port, 0, total_ms) || !ReadFile(ToHandle(port), buffer, want, &got, nullptr)) {
    return DeviceGone(GetLastError()) ? -1 : 0;
  }
  return static_cast<long>(got);
}

// One piece of a frame-ended read: exactly the bytes that have arrived, or one byte when none
// has, so that ReadFile returns as soon as they are in. (Wine does not keep the MAXDWORD,
// MAXDWORD, constant rule of "return with what is there" and waits out the constant.)
long Receive(void* context, std::uint8_t* buffer, std::size_t capacity, int wait_ms) {
  Port& port = *static_cast<Port*>(context);
  const long arrived = Arrived(port);
  if (arrived < 0) return -1;
  DWORD want = arrived == 0 ? 1 : static_cast<DWORD>(arrived);
  if (want > capacity) want = static_cast<DWORD>(capacity);
  return ReadSome(port, buffer, want, static_cast<DWORD>(wait_ms));
}

std::size_t Read(Port& port, std::uint8_t* buffer, std::size_t capacity, const ReadComplete* complete) {
  if (complete != nullptr) return ReadWithTimeouts(Receive, &port, buffer, capacity, complete, port.gone);
  // One read ended by the driver's time-outs. Its success flag is not looked at: a read cut
  // short by the time-outs or by an aborted line delivers what it got, and that is the reply.
  // A device that refuses time-outs (the flat functions keep it open) is read all the same.
  DWORD got = 0;
  SetReadTimeouts(port, kReadIntervalMs, kReadTotalMs);
  if (!ReadFile(ToHandle(port), buffer, static_cast<DWORD>(capacity), &got, nullptr) && DeviceGone(GetLastError())) {
    port.gone = true;
  }
  return got;
}

std::size_t ReadPending(Port& port, std::uint8_t* buffer, std::size_t capacity) {
  std::size_t got = 0;
  while (got < capacity) {
    const long arrived = Arrived(port);
    if (arrived < 0) port.gone = true;
    if (arrived <= 0) break;
    DWORD want = static_cast<DWORD>(arrived);
    if (want > capacity - got) want = static_cast<DWORD>(capacity - got);
    const long n = ReadSome(port, buffer + got, want, 1);
    if (n < 0) port.gone = true;
    if (n <= 0) break;
    got += static_cast<std::size_t>(n);
  }
  return got;
}

void Close(Port& port) { CloseHandle(ToHandle(port)); }

}  // namespace

const Transport kDeviceTransport{Open,  ApplyTimeouts, ApplyLineSettings, SetEventMask,
                                 Write, Read,          ReadPending,       Close};

}  // namespace kelvaro::platform
