#include "wine_host.h"

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <iterator>
#include <sstream>

namespace kelvaro_wine {

void Dll::Load() {
  module = LoadLibraryA("Kelvaro32.dll");
  ASSERT_NE(module, nullptr) << "LoadLibraryA failed, error " << GetLastError();
#define KELVARO_BIND(name) ASSERT_NO_FATAL_FAILURE(Bind(name, #name))
  KELVARO_BIND(InitializeLensControl);
  KELVARO_BIND(IsAutoConnected);
  KELVARO_BIND(OpenComPort);
  KELVARO_BIND(CloseComPort);
  KELVARO_BIND(Connect);
  KELVARO_BIND(Reset);
  KELVARO_BIND(GetResultString);
  KELVARO_BIND(SetLensIris);
  KELVARO_BIND(SetLensZoom);
  KELVARO_BIND(SetLensFocus);
  KELVARO_BIND(GetLensIris);
  KELVARO_BIND(GetLensZoom);
  KELVARO_BIND(GetLensFocus);
  KELVARO_BIND(SetSwitch0Host);
  KELVARO_BIND(SetSwitch2Host);
  KELVARO_BIND(SetSwitch3Host);
  KELVARO_BIND(SetSwitch4Host);
  KELVARO_BIND(GetSwitch0Host);
  KELVARO_BIND(GetSwitch2Host);
  KELVARO_BIND(GetSwitch3Host);
  KELVARO_BIND(GetSwitch4Host);
  KELVARO_BIND(Set2XMag);
  KELVARO_BIND(Get2XMag);
  KELVARO_BIND(SetAutoIris);
  KELVARO_BIND(GetLensName);
  KELVARO_BIND(GetLensFocalLengthRange);
  KELVARO_BIND(GetLensMOD);
  KELVARO_BIND(GetLensOpenFNo);
  KELVARO_BIND(kelvaro_open);
  KELVARO_BIND(kelvaro_close);
  KELVARO_BIND(kelvaro_connect);
  KELVARO_BIND(kelvaro_is_connected);
  KELVARO_BIND(kelvaro_move);
  KELVARO_BIND(kelvaro_position);
  KELVARO_BIND(kelvaro_set_switch);
  KELVARO_BIND(kelvaro_switch);
  KELVARO_BIND(kelvaro_name);
  KELVARO_BIND(kelvaro_read_optics);
  KELVARO_BIND(kelvaro_result_text);
  KELVARO_BIND(kelvaro_clock);
  KELVARO_BIND(kelvaro_stream_start);
  KELVARO_BIND(kelvaro_stream_stop);
  KELVARO_BIND(kelvaro_stream_read);
  KELVARO_BIND(kelvaro_stream_wait);
  KELVARO_BIND(kelvaro_latest);
  KELVARO_BIND(kelvaro_move_together);
  KELVARO_BIND(kelvaro_jog);
  KELVARO_BIND(kelvaro_stop);
  KELVARO_BIND(kelvaro_moving);
  KELVARO_BIND(kelvaro_stats);
#undef KELVARO_BIND
}

Lens::Lens(const char* control_port) {
  port_ = CreateFileA(control_port, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  if (port_ == INVALID_HANDLE_VALUE) {
    ADD_FAILURE() << "cannot open the lens's control channel " << control_port << ", error "
                  << GetLastError();
    return;
  }
  DCB dcb{};
  dcb.DCBlength = sizeof dcb;
  dcb.BaudRate = CBR_38400;
  dcb.fBinary = TRUE;
  dcb.ByteSize = 8;
  COMMTIMEOUTS timeouts{};
  timeouts.ReadIntervalTimeout = 20;
  timeouts.ReadTotalTimeoutConstant = 100;
  timeouts.WriteTotalTimeoutConstant = 1000;
  if (!SetCommState(port_, &dcb) || !SetCommTimeouts(port_, &timeouts)) {
    ADD_FAILURE() << "cannot set up the control channel, error " << GetLastError();
  }
}

Lens::~Lens() {
  if (port_ != INVALID_HANDLE_VALUE) CloseHandle(port_);
}

std::string Lens::Command(const std::string& line, int timeout_ms) {
  const std::string out = line + "\n";
  DWORD count = 0;
  if (!WriteFile(port_, out.data(), static_cast<DWORD>(out.size()), &count, nullptr) ||
      count != out.size()) {
    return "(control channel write failed)";
  }
  std::string answer;
  const DWORD until = GetTickCount() + static_cast<DWORD>(timeout_ms);
  while (static_cast<LONG>(until - GetTickCount()) > 0) {
    char buffer[512];
    if (!ReadFile(port_, buffer, sizeof buffer, &count, nullptr)) break;
    answer.append(buffer, count);
    if (!answer.empty() && answer.back() == '\n') {
      answer.pop_back();
      return answer;
    }
  }
  return "(no answer to \"" + line + "\", got \"" + answer + "\")";
}

std::string Lens::Do(const std::string& line, int timeout_ms) {
  const std::string answer = Command(line, timeout_ms);
  if (answer.compare(0, 2, "ok") != 0) {
    ADD_FAILURE() << "lens control \"" << line << "\" answered \"" << answer << "\"";
    return "";
  }
  return answer.size() > 3 ? answer.substr(3) : "";
}

std::vector<Bytes> Lens::Frames() {
  std::istringstream words(Do("frames"));
  std::vector<Bytes> frames;
  for (std::string word; words >> word;) {
    Bytes frame;
    for (std::size_t i = 0; i + 1 < word.size(); i += 2) {
      frame.push_back(static_cast<std::uint8_t>(std::strtoul(word.substr(i, 2).c_str(), nullptr, 16)));
    }
    frames.push_back(frame);
  }
  return frames;
}

bool Lens::WaitFrames(std::size_t count, int timeout_ms) {
  const std::string answer =
      Command("waitframes " + std::to_string(count) + " " + std::to_string(timeout_ms), timeout_ms + 5000);
  return answer.compare(0, 3, "ok ") == 0;
}

void Lens::AnswerOnce(std::uint8_t code, const Bytes& reply) { FaultOnce(code, "raw " + Hex(reply)); }

void Lens::FaultOnce(std::uint8_t code, const std::string& fault) {
  Do("fault " + Hex({code}) + " " + fault + " 1");
}

Bytes Frame(std::uint8_t function, const Bytes& data) {
  Bytes frame{static_cast<std::uint8_t>(data.size()), function};
  unsigned sum = frame[0] + frame[1];
  for (std::uint8_t byte : data) {
    frame.push_back(byte);
    sum += byte;
  }
  frame.push_back(static_cast<std::uint8_t>(0x100 - (sum & 0xFF)));
  return frame;
}

std::string Hex(const Bytes& bytes) {
  std::string text;
  char digits[3];
  for (std::uint8_t byte : bytes) {
    std::snprintf(digits, sizeof digits, "%02x", byte);
    text += digits;
  }
  return text;
}

int PumpMessages(int ms, bool (*done)(Dll&), Dll* dll) {
  int timer_messages = 0;
  const DWORD until = GetTickCount() + static_cast<DWORD>(ms);
  for (;;) {
    MSG message;
    while (PeekMessageA(&message, nullptr, 0, 0, PM_REMOVE)) {
      if (message.message == WM_TIMER) ++timer_messages;
      TranslateMessage(&message);
      DispatchMessageA(&message);
    }
    if (done != nullptr && done(*dll)) break;
    const LONG left = static_cast<LONG>(until - GetTickCount());
    if (left <= 0) break;
    MsgWaitForMultipleObjects(0, nullptr, FALSE, left < 20 ? left : 20, QS_ALLINPUT);
  }
  return timer_messages;
}

namespace {

std::string Environment(const char* name) {
  const char* value = std::getenv(name);
  if (value == nullptr) ADD_FAILURE() << name << " is not set: run the tests through wine.sh";
  return value != nullptr ? value : "";
}

}  // namespace

std::string LensDevice() { return Environment("KELVARO_LENS_DEVICE"); }
std::string SecondLensDevice() { return Environment("KELVARO_SECOND_LENS_DEVICE"); }

std::string ScratchFile(const char* name) {
  std::string path = "Z:" + Environment("KELVARO_SCRATCH") + "/" + name;
  for (char& c : path) {
    if (c == '/') c = '\\';
  }
  DeleteFileA(path.c_str());
  return path;
}

std::string LinuxPath(const std::string& windows_path) {
  std::string path = windows_path.substr(2);  // drive Z: is the Linux root
  for (char& c : path) {
    if (c == '\\') c = '/';
  }
  return path;
}

bool WaitForFile(const std::string& path, int timeout_ms) {
  const DWORD until = GetTickCount() + static_cast<DWORD>(timeout_ms);
  while (GetFileAttributesA(path.c_str()) == INVALID_FILE_ATTRIBUTES) {
    if (static_cast<LONG>(until - GetTickCount()) <= 0) return false;
    Sleep(10);
  }
  return true;
}

std::string FileText(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

bool RunPortHelper(const std::string& arguments) {
  std::string command = Environment("KELVARO_PORT_HELPER") + " " + arguments;
  STARTUPINFOA startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process{};
  if (!CreateProcessA(nullptr, &command[0], nullptr, nullptr, FALSE, 0, nullptr, nullptr, &startup,
                      &process)) {
    ADD_FAILURE() << "cannot start " << command << ", error " << GetLastError();
    return false;
  }
  // A Linux process gives Wine nothing to wait on; the helper's files say how it went. Its
  // process handle is 0 and its thread "handle" is whatever was left there: closing that
  // would close a handle of someone else's in this process (Winsock's event, say).
  if (process.hProcess != nullptr) {
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
  }
  return true;
}

int PortOpeners(const std::string& device) {
  const std::string file = ScratchFile("openers");
  if (!RunPortHelper("openers " + device + " " + LinuxPath(file)) || !WaitForFile(file, 5000)) {
    ADD_FAILURE() << "the port helper did not count";
    return -1;
  }
  return std::stoi(FileText(file));
}

bool WaitPortOpeners(const std::string& device, int count, int timeout_ms, int* last) {
  const DWORD until = GetTickCount() + static_cast<DWORD>(timeout_ms);
  for (;;) {
    const int now = PortOpeners(device);
    if (last != nullptr) *last = now;
    if (now == count) return true;
    if (now < 0 || static_cast<LONG>(until - GetTickCount()) <= 0) return false;
    Sleep(50);
  }
}

std::string Ser2netUrl(const char* scheme) {
  const bool raw = std::string(scheme) == "tcp";
  return std::string(scheme) + "://127.0.0.1:" +
         Environment(raw ? "KELVARO_SER2NET_TCP_PORT" : "KELVARO_SER2NET_RFC2217_PORT");
}

int ClosedPort() { return std::atoi(Environment("KELVARO_CLOSED_PORT").c_str()); }

}  // namespace kelvaro_wine
