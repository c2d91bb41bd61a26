// Win32 serial device: a COM port opened exclusively, synchronous I/O, the lens's time-outs
// enforced by the driver through COMMTIMEOUTS.
#include "platform/deadline.h"
#include "platform/serial.h"

#define WIN32_LEAN_AND_MEAN
#include <windows.h>

namespace kelvaro::platform {
namespace {

HANDLE ToHandle(PortHandle port) { return reinterpret_cast<HANDLE>(port); }

}  // namespace

PortHandle SerialOpen(const char* name) {
  if (name == nullptr) return kNoPort;
  HANDLE h = CreateFileA(name, GENERIC_READ | GENERIC_WRITE, 0 /* exclusive */, nullptr,
                         OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE || h == nullptr) return kNoPort;
  return reinterpret_cast<PortHandle>(h);
}

bool SerialApplyTimeouts(PortHandle port) {
  COMMTIMEOUTS t{};
  t.ReadIntervalTimeout = kReadIntervalMs;
  t.ReadTotalTimeoutMultiplier = 0;
  t.ReadTotalTimeoutConstant = kReadTotalMs;
  t.WriteTotalTimeoutMultiplier = 0;
  t.WriteTotalTimeoutConstant = kWriteTotalMs;
  return SetCommTimeouts(ToHandle(port), &t) != FALSE;
}

bool SerialApplyLineSettings(PortHandle port) {
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

bool SerialSetEventMask(PortHandle port) {
  return SetCommMask(ToHandle(port), EV_TXEMPTY) != FALSE;
}

bool SerialWrite(PortHandle port, const std::uint8_t* bytes, std::size_t count) {
  // The count written is not looked at: a write that times out short still reports success
  // here, and the missing reply shows up as a read time-out instead.
  DWORD written = 0;
  return WriteFile(ToHandle(port), bytes, static_cast<DWORD>(count), &written, nullptr) !=
         FALSE;
}

std::size_t SerialRead(PortHandle port, std::uint8_t* buffer, std::size_t capacity,
                       ReadComplete complete) {
  // The success flag is not looked at: a read cut short by the time-outs or by an aborted
  // line delivers what it got, and that count is the reply.
  DWORD got = 0;
  if (complete == nullptr) {
    (void)ReadFile(ToHandle(port), buffer, static_cast<DWORD>(capacity), &got, nullptr);
    return got;
  }
  // Ended at a whole frame: the same time-outs, kept here. Each ReadFile returns at once
  // with what has arrived, or waits for the first byte up to the sooner of the two ends.
  const Deadline total(kReadTotalMs);
  Deadline gap = total;  // until the first byte only the total counts
  while (got < capacity) {
    const int wait = Deadline::Sooner(total, gap).RemainingMs();
    if (wait == 0) break;
    COMMTIMEOUTS t{};
    t.ReadIntervalTimeout = MAXDWORD;
    t.ReadTotalTimeoutMultiplier = MAXDWORD;
    t.ReadTotalTimeoutConstant = static_cast<DWORD>(wait);
    t.WriteTotalTimeoutConstant = kWriteTotalMs;
    DWORD chunk = 0;
    if (!SetCommTimeouts(ToHandle(port), &t) ||
        !ReadFile(ToHandle(port), buffer + got, static_cast<DWORD>(capacity - got), &chunk, nullptr) ||
        chunk == 0) {
      break;  // a time-out, or a device that is gone
    }
    got += chunk;
    if (complete(buffer, got)) break;
    gap = Deadline(kReadIntervalMs);
  }
  return got;
}

void SerialDiscardInput(PortHandle port) { PurgeComm(ToHandle(port), PURGE_RXCLEAR); }

void SerialClose(PortHandle port) {
  if (port != kNoPort) CloseHandle(ToHandle(port));
}

}  // namespace kelvaro::platform
