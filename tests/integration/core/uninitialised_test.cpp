// Before InitializeLensControl only OpenComPort and Connect refuse with 3; everything else
// fails on its own terms. One test, so a single run of this binary also starts uninitialised.
#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

#include "lens_fixture.h"

namespace kelvaro_test {
namespace {

// Runs first: constructing and assigning CLens objects must not initialise anything.
TEST(Uninitialised, ClensHasNoEffectOnTheLibrary) {
  CLens first;
  CLens second;
  CLens& assigned = (second = first);
  EXPECT_EQ(&assigned, &second);
  EXPECT_EQ(Connect(), KELVARO_NOT_INITIALIZED);
  EXPECT_EQ(IsAutoConnected(), 0);
}

TEST(Uninitialised, OnlyOpenAndConnectRefuseThenInitialisationUnlocksThem) {
  lenssim::Simulator lens;
  const char* device = lens.DevicePath().c_str();

  EXPECT_EQ(OpenComPort(device), KELVARO_NOT_INITIALIZED);
  // Nothing was opened: the device is free for anyone to lock.
  const int probe = open(device, O_RDWR | O_NOCTTY);
  ASSERT_GE(probe, 0);
  EXPECT_EQ(flock(probe, LOCK_EX | LOCK_NB), 0);
  close(probe);

  EXPECT_EQ(Connect(), KELVARO_NOT_INITIALIZED);
  EXPECT_EQ(Reset(), KELVARO_PORT_NOT_OPEN);
  EXPECT_EQ(CloseComPort(), KELVARO_PORT_NOT_OPEN);
  unsigned short zoom = 1234;
  EXPECT_EQ(GetLensZoom(&zoom), KELVARO_PORT_NOT_OPEN);
  EXPECT_EQ(zoom, 1234);
  EXPECT_EQ(SetLensIris(100), KELVARO_PORT_NOT_OPEN);
  char text[32] = "untouched";
  EXPECT_EQ(GetLensName(text), KELVARO_PORT_NOT_OPEN);
  EXPECT_STREQ(text, "untouched");
  EXPECT_EQ(IsAutoConnected(), 0);
  EXPECT_TRUE(lens.Received().empty());

  EXPECT_EQ(InitializeLensControl(), KELVARO_OK);
  EXPECT_EQ(InitializeLensControl(), KELVARO_OK);  // again: still initialised
  ASSERT_EQ(OpenComPort(device), KELVARO_OK);
  EXPECT_EQ(Connect(), KELVARO_OK);
  EXPECT_EQ(CloseComPort(), KELVARO_OK);
}

}  // namespace
}  // namespace kelvaro_test
