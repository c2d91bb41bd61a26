// Before initialisation; opening, reopening and closing COM ports, those from COM10 on too; a
// port held by another program; the line as Linux sees it; a lens that is unplugged.
#include "wine_host.h"

namespace kelvaro_wine {
namespace {

// A fresh process: nothing has initialised the DLL.
TEST(Uninitialised, OnlyOpenAndConnectRefuseUntilInitialised) {
  Dll dll;
  ASSERT_NO_FATAL_FAILURE(dll.Load());
  Lens lens;

  // CLens by its exported members (thiscall): constructing and assigning change nothing.
  using Constructor = void(__thiscall*)(void*);
  using Assignment = void*(__thiscall*)(void*, const void*);
  const auto construct = reinterpret_cast<Constructor>(reinterpret_cast<void*>(dll.Find("_ZN5CLensC1Ev")));
  const auto assign = reinterpret_cast<Assignment>(reinterpret_cast<void*>(dll.Find("_ZN5CLensaSERKS_")));
  ASSERT_NE(construct, nullptr);
  ASSERT_NE(assign, nullptr);
  char first[4] = "abc";
  char second[4] = "xyz";
  construct(first);
  EXPECT_EQ(assign(second, first), second);
  EXPECT_STREQ(first, "abc");
  EXPECT_STREQ(second, "xyz");

  EXPECT_EQ(dll.Connect(), KELVARO_NOT_INITIALIZED);
  EXPECT_EQ(dll.OpenComPort(kLensPort), KELVARO_NOT_INITIALIZED);
  EXPECT_EQ(dll.Reset(), KELVARO_PORT_NOT_OPEN);  // so that open opened nothing
  EXPECT_EQ(dll.CloseComPort(), KELVARO_PORT_NOT_OPEN);
  unsigned short zoom = 1234;
  EXPECT_EQ(dll.GetLensZoom(&zoom), KELVARO_PORT_NOT_OPEN);
  EXPECT_EQ(zoom, 1234);
  EXPECT_EQ(dll.SetLensIris(100), KELVARO_PORT_NOT_OPEN);
  char text[32] = "untouched";
  EXPECT_EQ(dll.GetLensName(text), KELVARO_PORT_NOT_OPEN);
  EXPECT_STREQ(text, "untouched");
  EXPECT_EQ(dll.IsAutoConnected(), 0);
  EXPECT_TRUE(lens.Frames().empty());

  EXPECT_EQ(dll.InitializeLensControl(), KELVARO_OK);
  EXPECT_EQ(dll.InitializeLensControl(), KELVARO_OK);
  ASSERT_EQ(dll.OpenComPort(kLensPort), KELVARO_OK);
  EXPECT_EQ(dll.Connect(), KELVARO_OK);
  EXPECT_EQ(lens.Frames(), std::vector<Bytes>{kHandshake});
  EXPECT_EQ(dll.CloseComPort(), KELVARO_OK);
}

using PortTest = InitialisedTest;

TEST_F(PortTest, NamesThatCannotBeOpenedGiveSevenAndLeaveNoPort) {
  EXPECT_EQ(dll.OpenComPort(nullptr), KELVARO_UNABLE_TO_OPEN_PORT);
  EXPECT_EQ(dll.OpenComPort(""), KELVARO_UNABLE_TO_OPEN_PORT);
  EXPECT_EQ(dll.OpenComPort("COM9"), KELVARO_UNABLE_TO_OPEN_PORT);  // no such port in the prefix
  EXPECT_EQ(dll.OpenComPort("\\\\.\\COM77"), KELVARO_UNABLE_TO_OPEN_PORT);
  EXPECT_EQ(dll.OpenComPort("C:\\windows"), KELVARO_UNABLE_TO_OPEN_PORT);  // a directory
  EXPECT_EQ(dll.Connect(), KELVARO_PORT_NOT_OPEN);
  EXPECT_EQ(dll.CloseComPort(), KELVARO_PORT_NOT_OPEN);

  // A failed open closes the port that was open.
  const int closed = LensPortOpeners();
  ASSERT_EQ(dll.OpenComPort(kLensPort), KELVARO_OK);
  EXPECT_EQ(dll.OpenComPort("COM9"), KELVARO_UNABLE_TO_OPEN_PORT);
  EXPECT_EQ(LensPortOpeners(), closed);
  EXPECT_EQ(dll.Connect(), KELVARO_PORT_NOT_OPEN);
  EXPECT_TRUE(lens.Frames().empty());
}

TEST_F(PortTest, ReopeningClosesThePortFirstAndClosingTwiceGivesTen) {
  const int closed = LensPortOpeners();
  ASSERT_EQ(dll.OpenComPort(kLensPort), KELVARO_OK);
  const int open = LensPortOpeners();
  EXPECT_GT(open, closed);
  // Every spelling of the same port; each open closes the handle before (never 8).
  for (const char* name : {"COM5", "com5", "\\\\.\\COM5", "COM5"}) {
    EXPECT_EQ(dll.OpenComPort(name), KELVARO_OK) << name;
  }
  EXPECT_EQ(LensPortOpeners(), open);
  unsigned short zoom = 0;
  EXPECT_EQ(dll.GetLensZoom(&zoom), KELVARO_OK);
  EXPECT_EQ(zoom, 2048);
  EXPECT_EQ(dll.CloseComPort(), KELVARO_OK);
  EXPECT_EQ(LensPortOpeners(), closed);
  EXPECT_EQ(dll.CloseComPort(), KELVARO_PORT_NOT_OPEN);
  EXPECT_EQ(dll.Connect(), KELVARO_PORT_NOT_OPEN);
  EXPECT_EQ(lens.Frames(), std::vector<Bytes>{kZoomQuery});
}

// From COM10 on, Windows knows a port only by its device name, \\.\COM12: to it the bare
// name is a file's in the current directory. The library opens either spelling as the port.
TEST_F(PortTest, PortsFromTenOnOpenByTheBareNameAndByTheDeviceName) {
  const HANDLE file =
      CreateFileA(kHighLensPort, GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_EXISTING, 0, nullptr);
  EXPECT_EQ(file, INVALID_HANDLE_VALUE) << "the bare name opened the port by itself";
  if (file != INVALID_HANDLE_VALUE) CloseHandle(file);

  lens.Do("state zoom 1212");
  const int closed = LensPortOpeners();
  for (const char* name : {"COM12", "com12", "\\\\.\\COM12"}) {
    SCOPED_TRACE(name);
    unsigned short zoom = 0;
    ASSERT_EQ(dll.OpenComPort(name), KELVARO_OK);
    EXPECT_GT(LensPortOpeners(), closed);
    EXPECT_EQ(dll.GetLensZoom(&zoom), KELVARO_OK);
    EXPECT_EQ(zoom, 1212);
    EXPECT_EQ(dll.CloseComPort(), KELVARO_OK);

    kelvaro_lens* handle = nullptr;
    ASSERT_EQ(dll.kelvaro_open(name, nullptr, &handle), KELVARO_OK);
    EXPECT_GT(LensPortOpeners(), closed);
    zoom = 0;
    EXPECT_EQ(dll.kelvaro_position(handle, KELVARO_ZOOM, &zoom), KELVARO_OK);
    EXPECT_EQ(zoom, 1212);
    EXPECT_EQ(dll.kelvaro_close(handle), KELVARO_OK);
    EXPECT_EQ(LensPortOpeners(), closed);
  }
  EXPECT_EQ(lens.Frames(), std::vector<Bytes>(6, kZoomQuery));
}

// Wine ignores the share mode of CreateFileA, so a second open of a COM port from Windows
// succeeds; what it does honour is a Linux program holding the device with TIOCEXCL.
TEST_F(PortTest, APortHeldByAnotherProgramGivesSeven) {
  const std::string flag = ScratchFile("held");
  DeleteFileA((flag + ".done").c_str());
  ASSERT_TRUE(RunPortHelper("hold " + LensDevice() + " " + LinuxPath(flag)));
  ASSERT_TRUE(WaitForFile(flag, 5000)) << "the port helper never held the port";

  EXPECT_EQ(dll.OpenComPort(kLensPort), KELVARO_UNABLE_TO_OPEN_PORT)
      << "opened a port held with TIOCEXCL: is the wineserver running with CAP_SYS_ADMIN?";
  EXPECT_EQ(dll.Connect(), KELVARO_PORT_NOT_OPEN);

  ASSERT_TRUE(DeleteFileA(flag.c_str()));  // lets go
  ASSERT_TRUE(WaitForFile(flag + ".done", 5000));
  EXPECT_EQ(dll.OpenComPort(kLensPort), KELVARO_OK);
  EXPECT_EQ(dll.Connect(), KELVARO_OK);
}

TEST_F(PortTest, TheLineIsRaw38400EightNoneOne) {
  ASSERT_EQ(dll.OpenComPort(kLensPort), KELVARO_OK);
  const std::string file = ScratchFile("termios");
  ASSERT_TRUE(RunPortHelper("termios " + LensDevice() + " " + LinuxPath(file)));
  ASSERT_TRUE(WaitForFile(file, 5000));
  EXPECT_EQ(FileText(file),
            "speed 38400/38400 bits 8 parenb 0 cstopb 0 crtscts 0 ixon 0 ixoff 0 icrnl 0 "
            "istrip 0 icanon 0 echo 0 isig 0 opost 0\n");
  // Both ways every byte goes through unchanged: line ends, flow control, signal characters.
  const Bytes tricky{0x00, 0x03, 0x0A, 0x0D, 0x11, 0x13, 0x1A, 0x7F, 0xFF};
  std::vector<Bytes> sent;
  for (std::uint8_t byte : tricky) {
    EXPECT_EQ(dll.SetSwitch0Host(byte), KELVARO_OK);
    sent.push_back(Frame(0x40, {byte}));
  }
  EXPECT_EQ(lens.Frames(), sent);
  for (std::size_t i = 0; i + 1 < tricky.size(); ++i) {
    lens.Do("fault 31 raw " + Hex(Frame(0x31, {tricky[i], tricky[i + 1]})) + " 1");
    unsigned short zoom = 0;
    EXPECT_EQ(dll.GetLensZoom(&zoom), KELVARO_OK);
    EXPECT_EQ(zoom, ((tricky[i] << 8) | tricky[i + 1]) >> 4);
  }
}

TEST_F(PortTest, AFileThatIsNoPortGivesFiveAndStaysOpen) {
  const std::string path = ScratchFile("not-a-port");
  const HANDLE file = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
  ASSERT_NE(file, INVALID_HANDLE_VALUE);
  CloseHandle(file);
  EXPECT_EQ(dll.OpenComPort(path.c_str()), KELVARO_COMMS_ERROR);  // it refuses the time-outs
  // Still open and in use: the request goes into the file, and a file never answers.
  unsigned short zoom = 7;
  EXPECT_EQ(dll.GetLensZoom(&zoom), KELVARO_TIMEOUT);
  EXPECT_EQ(dll.CloseComPort(), KELVARO_OK);
  EXPECT_EQ(FileText(path), std::string("\x00\x31\xCF", 3));
}

TEST_F(PortTest, AnUnpluggedLensEndsEveryExchangeQuicklyAndThePortIsGone) {
  ASSERT_EQ(dll.OpenComPort(kLensPort), KELVARO_OK);
  ASSERT_EQ(dll.Connect(), KELVARO_OK);
  lens.Do("hangup");
  for (int i = 0; i < 3; ++i) {
    int code = -1;
    const long long elapsed = MillisecondsOf([&] { code = dll.Reset(); });
    EXPECT_TRUE(code == KELVARO_GENERAL_FAILURE || code == KELVARO_TIMEOUT) << code;
    EXPECT_LT(elapsed, 1500);
    unsigned short zoom = 0;
    code = dll.GetLensZoom(&zoom);
    EXPECT_TRUE(code == KELVARO_GENERAL_FAILURE || code == KELVARO_TIMEOUT) << code;
  }
  EXPECT_EQ(dll.OpenComPort(kLensPort), KELVARO_UNABLE_TO_OPEN_PORT);
}

}  // namespace
}  // namespace kelvaro_wine
