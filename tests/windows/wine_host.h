// A Windows host of Kelvaro32.dll for the tests under Wine. It loads the DLL with LoadLibraryA
// and finds every function by its exported name with GetProcAddress, calling through
// __stdcall pointers as C#, VB and Python hosts do; it never links against the DLL.
// The lens is the native simulator on COM5, scripted through its control channel on COM6;
// the same lens is COM12 too, and served by a real ser2net on loopback. A second one, with
// other optics, is on COM7 with its control on COM8 (see wine.sh). Each test runs in a Wine
// process of its own, against lenses of its own.
//
// Nothing here pumps messages, so the flat functions' once-a-second check never runs unless
// a test pumps: the lens sees exactly the host's requests. (A lens of kelvaro.h opened with
// `watch` is checked on a thread of the library instead.)
#pragma once

#define WIN32_LEAN_AND_MEAN
#include <windows.h>

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

// The codes and types, with Kelvaro32.h's; the functions are reached through the pointers below.
#include "kelvaro.h"

namespace kelvaro_wine {

using Bytes = std::vector<std::uint8_t>;

constexpr const char* kLensPort = "COM5";
constexpr const char* kControlPort = "COM6";
constexpr const char* kSecondLensPort = "COM7";
constexpr const char* kSecondControlPort = "COM8";
constexpr const char* kHighLensPort = "COM12";  // the lens of COM5 once more
const Bytes kHandshake{0x00, 0x01, 0xFF};
const Bytes kZoomQuery{0x00, 0x31, 0xCF};

// The DLL as a host sees it.
struct Dll {
  HMODULE module = nullptr;
  int(__stdcall* InitializeLensControl)();
  int(__stdcall* IsAutoConnected)();
  int(__stdcall* OpenComPort)(const char*);
  int(__stdcall* CloseComPort)();
  int(__stdcall* Connect)();
  int(__stdcall* Reset)();
  void(__stdcall* GetResultString)(int, char*);
  int(__stdcall* SetLensIris)(unsigned short);
  int(__stdcall* SetLensZoom)(unsigned short);
  int(__stdcall* SetLensFocus)(unsigned short);
  int(__stdcall* GetLensIris)(unsigned short*);
  int(__stdcall* GetLensZoom)(unsigned short*);
  int(__stdcall* GetLensFocus)(unsigned short*);
  int(__stdcall* SetSwitch0Host)(unsigned char);
  int(__stdcall* SetSwitch2Host)(unsigned char);
  int(__stdcall* SetSwitch3Host)(unsigned char);
  int(__stdcall* SetSwitch4Host)(unsigned char);
  int(__stdcall* GetSwitch0Host)(char*, unsigned short*);
  int(__stdcall* GetSwitch2Host)(char*, unsigned short*);
  int(__stdcall* GetSwitch3Host)(char*, unsigned short*);
  int(__stdcall* GetSwitch4Host)(char*, unsigned short*);
  int(__stdcall* Set2XMag)(unsigned short);
  int(__stdcall* Get2XMag)(unsigned short*);
  int(__stdcall* SetAutoIris)(unsigned short);
  int(__stdcall* GetLensName)(char*);
  int(__stdcall* GetLensFocalLengthRange)(char*);
  int(__stdcall* GetLensMOD)(char*);
  int(__stdcall* GetLensOpenFNo)(char*);
  // The handle interface of kelvaro.h.
  int(__stdcall* kelvaro_open)(const char*, const kelvaro_options*, kelvaro_lens**);
  int(__stdcall* kelvaro_close)(kelvaro_lens*);
  int(__stdcall* kelvaro_connect)(kelvaro_lens*);
  int(__stdcall* kelvaro_is_connected)(kelvaro_lens*);
  int(__stdcall* kelvaro_move)(kelvaro_lens*, int, unsigned short);
  int(__stdcall* kelvaro_position)(kelvaro_lens*, int, unsigned short*);
  int(__stdcall* kelvaro_set_switch)(kelvaro_lens*, int, unsigned char);
  int(__stdcall* kelvaro_switch)(kelvaro_lens*, int, unsigned char*);
  int(__stdcall* kelvaro_name)(kelvaro_lens*, char*, size_t);
  int(__stdcall* kelvaro_read_optics)(kelvaro_lens*, kelvaro_optics*);
  const char*(__stdcall* kelvaro_result_text)(int);
  double(__stdcall* kelvaro_clock)();
  int(__stdcall* kelvaro_stream_start)(kelvaro_lens*, unsigned, double);
  int(__stdcall* kelvaro_stream_stop)(kelvaro_lens*);
  int(__stdcall* kelvaro_stream_read)(kelvaro_lens*, kelvaro_sample*, size_t, size_t*);
  int(__stdcall* kelvaro_stream_wait)(kelvaro_lens*, kelvaro_sample*, int);
  int(__stdcall* kelvaro_latest)(kelvaro_lens*, kelvaro_sample*);
  int(__stdcall* kelvaro_move_together)(kelvaro_lens*, const int*, unsigned, int);
  int(__stdcall* kelvaro_jog)(kelvaro_lens*, int, double, unsigned);
  int(__stdcall* kelvaro_stop)(kelvaro_lens*);
  int(__stdcall* kelvaro_moving)(kelvaro_lens*);
  int(__stdcall* kelvaro_stats)(kelvaro_lens*, kelvaro_lens_stats*);

  FARPROC Find(const char* name) const { return GetProcAddress(module, name); }

  template <typename Function>
  void Bind(Function& function, const char* name) {
    function = reinterpret_cast<Function>(reinterpret_cast<void*>(Find(name)));
    ASSERT_NE(function, nullptr) << "no export " << name;
  }

  // Loads Kelvaro32.dll from beside the test program (as Windows searches) and binds it.
  void Load();

  // FreeLibrary, and checks that the DLL really left the process.
  void Unload() {
    ASSERT_TRUE(FreeLibrary(module));
    module = nullptr;
    ASSERT_EQ(GetModuleHandleA("Kelvaro32.dll"), nullptr) << "the DLL stayed loaded";
  }
};

// A simulated lens, through its control channel: one command line out, one answer line back.
class Lens {
 public:
  explicit Lens(const char* control_port = kControlPort);
  ~Lens();
  Lens(const Lens&) = delete;
  Lens& operator=(const Lens&) = delete;

  std::string Command(const std::string& line, int timeout_ms = 5000);
  // A command that must be answered "ok"; returns the rest of the answer.
  std::string Do(const std::string& line, int timeout_ms = 5000);

  // Every frame the lens received since the last ClearFrames, oldest first.
  std::vector<Bytes> Frames();
  void ClearFrames() { Do("clearframes"); }
  // Waits until the lens has received `count` frames; false after timeout_ms.
  bool WaitFrames(std::size_t count, int timeout_ms);

  // Answers the next request with `code` by exactly these bytes.
  void AnswerOnce(std::uint8_t code, const std::vector<std::uint8_t>& reply);
  // A fault for the next reply to `code`, in the control channel's words ("silent", "badsum").
  void FaultOnce(std::uint8_t code, const std::string& fault);

 private:
  HANDLE port_ = INVALID_HANDLE_VALUE;
};

// A frame as the lens builds it: length, function code, data, checksum (sum of all is 0).
Bytes Frame(std::uint8_t function, const Bytes& data);
std::string Hex(const Bytes& bytes);

// Pumps this thread's messages for up to `ms`, as a host's message loop does, stopping early
// once `done` (if given) returns true. Returns the WM_TIMER messages that came.
int PumpMessages(int ms, bool (*done)(Dll&) = nullptr, Dll* dll = nullptr);

// The Linux side of the lens's port, through kelvaro-port-helper (Wine starts Linux programs
// given by their Linux path). Files are exchanged through a scratch directory of the build.
std::string ScratchFile(const char* name);  // its Windows path
bool WaitForFile(const std::string& path, int timeout_ms);
std::string FileText(const std::string& path);
bool RunPortHelper(const std::string& arguments);  // "hold DEVICE FLAG", "termios DEVICE FILE", ...
std::string LensDevice();                        // the Linux path of the lens's terminal
std::string SecondLensDevice();                  // the same of the lens on COM7
// How many descriptors have a terminal open on the Linux side: Wine keeps some for each
// open handle of the port (the simulator may hold some of its own).
int PortOpeners(const std::string& device);
inline int LensPortOpeners() { return PortOpeners(LensDevice()); }
// Waits until PortOpeners(device) is `count`; false (and the last count) after timeout_ms.
bool WaitPortOpeners(const std::string& device, int count, int timeout_ms, int* last = nullptr);
std::string LinuxPath(const std::string& windows_path);

// The lens of COM5 behind ser2net: "tcp://127.0.0.1:PORT" (raw) or "rfc2217://127.0.0.1:PORT"
// (Telnet with COM port control); and a loopback port that nothing listens on.
std::string Ser2netUrl(const char* scheme);
int ClosedPort();

template <typename Call>
long long MillisecondsOf(Call&& call) {
  const auto start = std::chrono::steady_clock::now();
  call();
  return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - start)
      .count();
}

// An initialised DLL, no port open yet.
class InitialisedTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_NO_FATAL_FAILURE(dll.Load());
    ASSERT_EQ(dll.InitializeLensControl(), KELVARO_OK);
  }
  void TearDown() override {
    if (dll.module != nullptr) dll.CloseComPort();
  }

  Dll dll;
  Lens lens;
};

// An initialised DLL with the lens's port open.
class LensTest : public InitialisedTest {
 protected:
  void SetUp() override {
    ASSERT_NO_FATAL_FAILURE(InitialisedTest::SetUp());
    ASSERT_EQ(dll.OpenComPort(kLensPort), KELVARO_OK);
  }

  void AnswerOnce(std::uint8_t code, const Bytes& reply) { lens.AnswerOnce(code, reply); }
  void FaultOnce(std::uint8_t code, const std::string& fault) { lens.FaultOnce(code, fault); }
};

}  // namespace kelvaro_wine
