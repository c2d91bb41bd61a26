// Opening, reopening and closing the port; devices that are absent, busy, not serial,
// or that go away while open.
#include <fcntl.h>
#include <sys/file.h>
#include <sys/ioctl.h>
#include <sys/resource.h>
#include <termios.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <string>

#include "lens_fixture.h"

namespace kelvaro_test {
namespace {

class PortTest : public ::testing::Test {
 protected:
  void SetUp() override { InitialiseOnce(); }
  void TearDown() override { CloseComPort(); }
};

inline const lenssim::Bytes kZoomQuery{0x00, 0x31, 0xCF};

// A lens that ignores the handshake, so the background check never connects to it and only
// ever sends it 00 01 FF; these tests see where requests go with zoom queries instead.
std::unique_ptr<lenssim::Simulator> QuietLens() {
  auto lens = std::make_unique<lenssim::Simulator>();
  lens->SetFault(0x01, Fault::Silent());
  return lens;
}

std::vector<lenssim::Bytes> WithoutHandshakes(std::vector<lenssim::Bytes> frames) {
  std::vector<lenssim::Bytes> kept;
  for (auto& frame : frames) {
    if (frame != kHandshake) kept.push_back(std::move(frame));
  }
  return kept;
}

unsigned short zoom_out = 0;
int ZoomQuery() { return GetLensZoom(&zoom_out); }

// True when some open description other than the caller's holds an exclusive lock.
bool HeldByLibrary(const std::string& device) {
  const int fd = open(device.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
  if (fd < 0) return true;
  const bool held = flock(fd, LOCK_EX | LOCK_NB) != 0;
  close(fd);
  return held;
}

TEST_F(PortTest, NamesThatCannotBeOpenedGiveSevenAndLeaveNoPort) {
  EXPECT_EQ(OpenComPort(nullptr), KELVARO_UNABLE_TO_OPEN_PORT);
  EXPECT_EQ(OpenComPort(""), KELVARO_UNABLE_TO_OPEN_PORT);
  EXPECT_EQ(OpenComPort("/dev/kelvaro-no-such-port"), KELVARO_UNABLE_TO_OPEN_PORT);
  EXPECT_EQ(OpenComPort("/tmp"), KELVARO_UNABLE_TO_OPEN_PORT);  // a directory
  EXPECT_EQ(Connect(), KELVARO_PORT_NOT_OPEN);
  EXPECT_EQ(CloseComPort(), KELVARO_PORT_NOT_OPEN);
}

TEST_F(PortTest, AFailedOpenClosesThePortThatWasOpen) {
  auto lens = QuietLens();
  ASSERT_EQ(OpenComPort(lens->DevicePath().c_str()), KELVARO_OK);
  EXPECT_EQ(OpenComPort("/dev/kelvaro-no-such-port"), KELVARO_UNABLE_TO_OPEN_PORT);
  EXPECT_FALSE(HeldByLibrary(lens->DevicePath()));
  EXPECT_EQ(ZoomQuery(), KELVARO_PORT_NOT_OPEN);
}

TEST_F(PortTest, OpeningAnotherPortLeavesOnlyThatOneOpen) {
  auto a = QuietLens();
  auto b = QuietLens();
  ASSERT_EQ(OpenComPort(a->DevicePath().c_str()), KELVARO_OK);
  EXPECT_TRUE(HeldByLibrary(a->DevicePath()));
  ASSERT_EQ(OpenComPort(b->DevicePath().c_str()), KELVARO_OK);
  EXPECT_FALSE(HeldByLibrary(a->DevicePath()));
  EXPECT_TRUE(HeldByLibrary(b->DevicePath()));

  EXPECT_EQ(ZoomQuery(), KELVARO_OK);
  EXPECT_EQ(WithoutHandshakes(b->Received()), std::vector<lenssim::Bytes>{kZoomQuery});
  EXPECT_TRUE(WithoutHandshakes(a->Received()).empty());
}

TEST_F(PortTest, ReopeningTheSamePortClosesAndOpensIt) {
  auto lens = QuietLens();
  ASSERT_EQ(OpenComPort(lens->DevicePath().c_str()), KELVARO_OK);
  ASSERT_EQ(OpenComPort(lens->DevicePath().c_str()), KELVARO_OK);  // never 8
  EXPECT_EQ(ZoomQuery(), KELVARO_OK);
  EXPECT_EQ(CloseComPort(), KELVARO_OK);
  EXPECT_EQ(CloseComPort(), KELVARO_PORT_NOT_OPEN);
  EXPECT_EQ(Connect(), KELVARO_PORT_NOT_OPEN);
  EXPECT_FALSE(HeldByLibrary(lens->DevicePath()));
}

TEST_F(PortTest, ADeviceHeldByAnotherProgramGivesSeven) {
  auto lens = QuietLens();
  const int other = open(lens->DevicePath().c_str(), O_RDWR | O_NOCTTY);
  ASSERT_GE(other, 0);
  ASSERT_EQ(flock(other, LOCK_EX | LOCK_NB), 0);
  EXPECT_EQ(OpenComPort(lens->DevicePath().c_str()), KELVARO_UNABLE_TO_OPEN_PORT);
  close(other);
  EXPECT_EQ(OpenComPort(lens->DevicePath().c_str()), KELVARO_OK);
}

TEST_F(PortTest, OpenPortIsExclusiveAndClosingClearsTheFlag) {
  lenssim::Simulator lens;
  // The simulator holds the terminal too, so the flag would outlive our descriptor.
  const int watcher = open(lens.DevicePath().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
  ASSERT_GE(watcher, 0);
  int exclusive = -1;
  ASSERT_EQ(OpenComPort(lens.DevicePath().c_str()), KELVARO_OK);
  ASSERT_EQ(ioctl(watcher, TIOCGEXCL, &exclusive), 0);
  EXPECT_EQ(exclusive, 1);
  ASSERT_EQ(CloseComPort(), KELVARO_OK);
  ASSERT_EQ(ioctl(watcher, TIOCGEXCL, &exclusive), 0);
  EXPECT_EQ(exclusive, 0);
  close(watcher);
}

TEST_F(PortTest, LineSettingsAreRaw38400EightNoneOne) {
  lenssim::Simulator lens;
  ASSERT_EQ(OpenComPort(lens.DevicePath().c_str()), KELVARO_OK);
  const int watcher = open(lens.DevicePath().c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
  ASSERT_GE(watcher, 0);
  termios settings{};
  ASSERT_EQ(tcgetattr(watcher, &settings), 0);
  close(watcher);
  EXPECT_EQ(cfgetospeed(&settings), B38400);
  EXPECT_EQ(cfgetispeed(&settings), B38400);
  EXPECT_EQ(settings.c_cflag & (CSIZE | PARENB | CSTOPB | CRTSCTS), static_cast<tcflag_t>(CS8));
  EXPECT_EQ(settings.c_iflag & (IXON | IXOFF | ICRNL | ISTRIP | INPCK), 0u);
  EXPECT_EQ(settings.c_lflag & (ICANON | ECHO | ISIG), 0u);
  EXPECT_EQ(settings.c_oflag & OPOST, 0u);
}

TEST_F(PortTest, ANonSerialDeviceGivesFiveAndStaysOpen) {
  char path[] = "/tmp/kelvaro-not-a-port-XXXXXX";
  const int file = mkstemp(path);
  ASSERT_GE(file, 0);
  close(file);

  EXPECT_EQ(OpenComPort(path), KELVARO_COMMS_ERROR);
  // Still open and in use: the request goes into the file, and a file never answers.
  const long long elapsed = MillisecondsOf([] { EXPECT_EQ(ZoomQuery(), KELVARO_TIMEOUT); });
  EXPECT_LT(elapsed, 1500);
  EXPECT_EQ(CloseComPort(), KELVARO_OK);
  FILE* written = std::fopen(path, "rb");
  ASSERT_NE(written, nullptr);
  unsigned char bytes[16] = {};
  const std::size_t count = std::fread(bytes, 1, sizeof bytes, written);
  std::fclose(written);
  std::remove(path);
  // The background check may have written its handshake into the file as well.
  const std::string content(bytes, bytes + count);
  EXPECT_NE(content.find(std::string(kZoomQuery.begin(), kZoomQuery.end())), std::string::npos);
}

double CpuSeconds() {
  rusage usage{};
  getrusage(RUSAGE_SELF, &usage);
  const auto seconds = usage.ru_utime.tv_sec + usage.ru_stime.tv_sec;
  const auto microseconds = usage.ru_utime.tv_usec + usage.ru_stime.tv_usec;
  return static_cast<double>(seconds) + static_cast<double>(microseconds) / 1e6;
}

TEST_F(PortTest, AnUnpluggedDeviceEndsEachExchangeQuietlyAndANewOneOpens) {
  auto lens = QuietLens();
  ASSERT_EQ(OpenComPort(lens->DevicePath().c_str()), KELVARO_OK);
  ASSERT_EQ(ZoomQuery(), KELVARO_OK);
  lens->HangUp();

  const double cpu_before = CpuSeconds();
  for (int i = 0; i < 5; ++i) {
    int code = -1;
    const long long elapsed = MillisecondsOf([&] { code = Reset(); });
    EXPECT_TRUE(code == KELVARO_GENERAL_FAILURE || code == KELVARO_TIMEOUT) << code;
    EXPECT_LT(elapsed, 1500);
    unsigned short zoom = 0;
    code = GetLensZoom(&zoom);
    EXPECT_TRUE(code == KELVARO_GENERAL_FAILURE || code == KELVARO_TIMEOUT) << code;
  }
  // Ten failed exchanges on a dead line must not spin a core.
  EXPECT_LT(CpuSeconds() - cpu_before, 1.0);

  lens = QuietLens();
  ASSERT_EQ(OpenComPort(lens->DevicePath().c_str()), KELVARO_OK);
  EXPECT_EQ(ZoomQuery(), KELVARO_OK);
}

}  // namespace
}  // namespace kelvaro_test
