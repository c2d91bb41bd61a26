#include "core/result_text.h"

#include <cstdio>
#include <cstring>

#include "Kelvaro32.h"
#include "kelvaro.h"

namespace kelvaro {
namespace {

const char* KnownText(int code) {
  switch (code) {
    case KELVARO_OK: return " OK";
    case KELVARO_GENERAL_FAILURE: return " General Failure";
    case KELVARO_NOT_INITIALIZED: return " Library Not Initialized";
    case KELVARO_TIMEOUT: return " Timeout";
    case KELVARO_COMMS_ERROR: return " Communications Error";
    case KELVARO_WRONG_REPLY_CODE: return " Wrong Reply Code";
    case KELVARO_UNABLE_TO_OPEN_PORT: return " Unable To Open Port";
    case KELVARO_PORT_ALREADY_OPEN: return " Port Already Open";
    case KELVARO_PORT_NOT_OPEN: return " Port Not Open";
    case KELVARO_BAD_CHECKSUM: return " Bad Checksum";
    case KELVARO_REPLY_TOO_SHORT: return " Reply Too Short";
    case KELVARO_COULD_NOT_CONNECT: return " Could Not Connect To Lens";
    default: return nullptr;
  }
}

}  // namespace

const char* ResultText(int code) {
  if (const char* text = KnownText(code)) return text + 1;
  switch (code) {
    case KELVARO_INVALID_ARGUMENT: return "Invalid Argument";
    case KELVARO_NO_FREE_LENS: return "No Free Lens";
    default: return "Unknown Result Code";
  }
}

void FormatResultText(int code, char* out, std::size_t capacity) {
  if (const char* text = KnownText(code)) {
    std::snprintf(out, capacity, "%s", text);
  } else {
    std::snprintf(out, capacity, " Error code = %d", code);
  }
}

}  // namespace kelvaro
