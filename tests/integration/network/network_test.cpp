// Lenses behind a serial device server (tcp:// and rfc2217://, through the real ser2net and
// through scripted servers), and lenses that come back after an unplug.
#include <poll.h>

#include <cstring>
#include <string>
#include <vector>

#include "kelvaro.h"
#include "network_fixture.h"

namespace kelvaro_test {
namespace {

struct Lens {
  explicit Lens(const std::string& port, kelvaro_options options = {}) {
    code = kelvaro_open(port.c_str(), &options, &handle);
  }
  ~Lens() {
    if (handle != nullptr) kelvaro_close(handle);
  }
  int code = -1;
  kelvaro_lens* handle = nullptr;
};

// Reads whatever the connection brings within `ms`.
std::string Receive(int connection, int ms) {
  std::string got;
  pollfd entry{connection, POLLIN, 0};
  while (poll(&entry, 1, ms) > 0) {
    char buffer[256];
    const ssize_t n = recv(connection, buffer, sizeof buffer, 0);
    if (n <= 0) break;
    got.append(buffer, static_cast<std::size_t>(n));
    ms = 50;
  }
  return got;
}

void Send(int connection, const Bytes& bytes) { send(connection, bytes.data(), bytes.size(), MSG_NOSIGNAL); }

bool WaitConnected(kelvaro_lens* lens, bool connected, int ms) {
  for (int waited = 0; waited < ms; waited += 20) {
    if ((kelvaro_is_connected(lens) == 1) == connected) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  return false;
}

class Ser2netTest : public ::testing::TestWithParam<bool> {
 protected:
  std::string Url() const { return GetParam() ? server.TelnetUrl() : server.TcpUrl(); }

  lenssim::Simulator lens;
  Ser2net server{lens.DevicePath()};
};

TEST_P(Ser2netTest, EveryCommandFamilyReachesTheLens) {
  lenssim::LensState state;
  state.zoom = 0xFFF0;          // the reply 02 31 FF F0 DE carries a 0xFF byte
  state.switches[3] = 0xFF;     // and so does this one
  lens.SetState(state);
  Lens open(Url());
  ASSERT_EQ(open.code, KELVARO_OK);
  kelvaro_lens* l = open.handle;

  EXPECT_EQ(kelvaro_connect(l), KELVARO_OK);
  unsigned short zoom = 0;
  EXPECT_EQ(kelvaro_position(l, KELVARO_ZOOM, &zoom), KELVARO_OK);
  EXPECT_EQ(zoom, 4095);
  EXPECT_EQ(kelvaro_move(l, KELVARO_FOCUS, 4095), KELVARO_OK);  // 02 22 FF F0 ED goes out escaped
  EXPECT_EQ(kelvaro_set_switch(l, 2, 0xFF), KELVARO_OK);
  unsigned char byte = 0;
  EXPECT_EQ(kelvaro_switch(l, 3, &byte), KELVARO_OK);
  EXPECT_EQ(byte, 0xFF);
  char name[64];
  EXPECT_EQ(kelvaro_name(l, name, sizeof name), KELVARO_OK);
  EXPECT_STREQ(name, "Simulated Zoom Lens 10-200");
  kelvaro_optics optics{};
  EXPECT_EQ(kelvaro_read_optics(l, &optics), KELVARO_OK);
  EXPECT_NEAR(optics.focal_max_mm, 200.0, 1e-3);

  // A reply split across TCP segments is waited for, as on a device.
  lens.SetFault(0x31, Fault::Split(2, 40, 1));
  EXPECT_EQ(kelvaro_position(l, KELVARO_ZOOM, &zoom), KELVARO_OK);
  EXPECT_EQ(zoom, 4095);

  EXPECT_EQ(lens.State().focus, 0xFFF0);
  EXPECT_EQ(lens.State().switches[2], 0xFF);
}

TEST_P(Ser2netTest, TheFlatFunctionsTakeTheUrlToo) {
  InitialiseOnce();
  lens.SetFault(0x01, Fault::Silent());  // the flat check stays quiet
  ASSERT_EQ(OpenComPort(Url().c_str()), KELVARO_OK);
  unsigned short zoom = 0;
  EXPECT_EQ(GetLensZoom(&zoom), KELVARO_OK);
  EXPECT_EQ(zoom, 2048);
  char text[64];
  EXPECT_EQ(GetLensMOD(text), KELVARO_OK);
  EXPECT_STREQ(text, "MOD:  0.9 meters");
  EXPECT_EQ(CloseComPort(), KELVARO_OK);
}

TEST_P(Ser2netTest, AServerThatGoesAwayFailsAtOnceAndReopenBringsTheLensBack) {
  Lens open(Url(), {KELVARO_FRAMING_FRAME, 1, 1});
  ASSERT_EQ(open.code, KELVARO_OK);
  ASSERT_TRUE(WaitConnected(open.handle, true, 2500));

  // Stopped in the middle of an exchange: the read ends at once, and so does what follows.
  lens.SetFault(0x30, Fault::Delay(400, 1));
  std::thread killer([&] {
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    server.Stop();
  });
  unsigned short iris = 0;
  int code = 0;
  const long long ms = MillisecondsOf([&] { code = kelvaro_position(open.handle, KELVARO_IRIS, &iris); });
  killer.join();
  EXPECT_TRUE(code == KELVARO_TIMEOUT || code == KELVARO_GENERAL_FAILURE) << code;
  EXPECT_LT(ms, 350);  // not the whole delay, nor the 500 ms time-out
  const long long next = MillisecondsOf([&] { code = kelvaro_position(open.handle, KELVARO_IRIS, &iris); });
  EXPECT_TRUE(code == KELVARO_GENERAL_FAILURE || code == KELVARO_PORT_NOT_OPEN) << code;
  EXPECT_LT(next, 100);

  ASSERT_TRUE(WaitConnected(open.handle, false, 2500));
  server.Start();
  EXPECT_TRUE(WaitConnected(open.handle, true, 3500));
  EXPECT_EQ(kelvaro_position(open.handle, KELVARO_IRIS, &iris), KELVARO_OK);
}

INSTANTIATE_TEST_SUITE_P(TcpAndTelnet, Ser2netTest, ::testing::Values(false, true),
                         [](const ::testing::TestParamInfo<bool>& param) { return param.param ? "rfc2217" : "tcp"; });

// The lens's adapter unplugged and plugged back in behind the same name: the checks see it
// go, and bring it back with nothing done by the host.
TEST(Reopen, AnUnpluggedLensComesBackBehindItsLink) {
  lenssim::Simulator lens;
  const std::string link = ::testing::TempDir() + "kelvaro-lens-" + std::to_string(getpid());
  auto point = [&link](const std::string& device) {
    const std::string aside = link + ".new";
    unlink(aside.c_str());
    ASSERT_EQ(symlink(device.c_str(), aside.c_str()), 0);
    ASSERT_EQ(rename(aside.c_str(), link.c_str()), 0);
  };
  point(lens.DevicePath());
  lens.OnReplug([&](const std::string& device) { point(device); });

  const int descriptors = OpenDescriptors();
  {
    Lens open(link, {KELVARO_FRAMING_FRAME, 1, 1});
    ASSERT_EQ(open.code, KELVARO_OK);
    ASSERT_TRUE(WaitConnected(open.handle, true, 2500));
    for (int cycle = 0; cycle < 2; ++cycle) {
      lens.HangUp();
      ASSERT_TRUE(WaitConnected(open.handle, false, 2500));
      // While it is gone, calls fail at once.
      unsigned short zoom = 0;
      const long long ms = MillisecondsOf([&] { EXPECT_NE(kelvaro_position(open.handle, KELVARO_ZOOM, &zoom), KELVARO_OK); });
      EXPECT_LT(ms, 100);
      lens.ClearReceived();
      lens.Replug();
      // Back within two checks: the handshake and host mode 0 of a connect.
      EXPECT_TRUE(WaitConnected(open.handle, true, 2200)) << cycle;
      EXPECT_TRUE(lens.WaitForFrames(2, 1000));
      const std::vector<Bytes> expected{kHandshake, {0x01, 0x44, 0xF8, 0xC3}};
      EXPECT_EQ(lens.Received(), expected);
      EXPECT_EQ(kelvaro_position(open.handle, KELVARO_ZOOM, &zoom), KELVARO_OK);
    }
    // A healthy lens is never reopened: its checks are zoom queries only.
    lens.ClearReceived();
    std::this_thread::sleep_for(std::chrono::milliseconds(1100));
    for (const Bytes& frame : lens.Received()) EXPECT_EQ(frame, (Bytes{0x00, 0x31, 0xCF}));
  }
  EXPECT_EQ(OpenDescriptors(), descriptors);
  unlink(link.c_str());
}

TEST(PortNames, MalformedUrlsAreRefusedAndUnreachableServersFailFast) {
  const std::string long_host(1024, 'h');
  const std::string names[] = {
      "tcp://", "tcp://127.0.0.1", "tcp://127.0.0.1:", "tcp://127.0.0.1:0", "tcp://127.0.0.1:65536",
      "tcp://127.0.0.1:99999999999", "tcp://:4000", "rfc2217://[::1:4000", "rfc2217://[::1]4000",
      "tcp://" + long_host + ":4000", "tcp://h\xC3\xA9:4000", "tcp://a b:4000", "tcp://127.0.0.1:40a",
  };
  const int descriptors = OpenDescriptors();
  InitialiseOnce();
  for (const std::string& name : names) {
    kelvaro_lens* lens = nullptr;
    EXPECT_EQ(kelvaro_open(name.c_str(), nullptr, &lens), KELVARO_INVALID_ARGUMENT) << name;
    EXPECT_EQ(OpenComPort(name.c_str()), KELVARO_UNABLE_TO_OPEN_PORT) << name;
  }
  // Nobody listening, a name nobody knows: 7, well within the 2 s the connect may take.
  for (const std::string& name : {"tcp://127.0.0.1:" + std::to_string(FreePort()),
                                  "rfc2217://[::1]:" + std::to_string(FreePort()), std::string("tcp://no-such-host.invalid:4000")}) {
    kelvaro_lens* lens = nullptr;
    const long long ms = MillisecondsOf([&] { EXPECT_EQ(kelvaro_open(name.c_str(), nullptr, &lens), KELVARO_UNABLE_TO_OPEN_PORT) << name; });
    EXPECT_LT(ms, 2500) << name;
  }
  EXPECT_EQ(OpenDescriptors(), descriptors);
}

// Servers that misbehave: each open or exchange ends with a code within the time-outs.
TEST(Misbehaving, ServersThatNeverSpeakOrRefuseOrFloodGetACodeInTime) {
  const int descriptors = OpenDescriptors();
  {
    // Accepts and never speaks: the open does not wait for ever on the settings; a query times out.
    ScriptedServer mute([](int connection) {
      char buffer[256];
      while (recv(connection, buffer, sizeof buffer, 0) > 0) {
      }
    });
    Lens quiet(mute.Url("rfc2217"));
    EXPECT_EQ(quiet.code, KELVARO_OK);
    unsigned short zoom = 0;
    const long long ms = MillisecondsOf([&] { EXPECT_EQ(kelvaro_position(quiet.handle, KELVARO_ZOOM, &zoom), KELVARO_TIMEOUT); });
    EXPECT_LT(ms, 900);
  }
  {
    // Refuses COM port control: 5 from the handle interface (and closed); the flat open keeps it.
    ScriptedServer refusing([](int connection) {
      Send(connection, {0xFF, 0xFE, 44});
      Receive(connection, 400);
    });
    Lens refused(refusing.Url("rfc2217"));
    EXPECT_EQ(refused.code, KELVARO_COMMS_ERROR);
    EXPECT_EQ(refused.handle, nullptr);
    InitialiseOnce();
    EXPECT_EQ(OpenComPort(refusing.Url("rfc2217").c_str()), KELVARO_COMMS_ERROR);
    EXPECT_EQ(CloseComPort(), KELVARO_OK);
  }
  {
    // Endless negotiation around every reply, an IAC split from what it escapes, a command
    // cut between two segments: only the data bytes count.
    ScriptedServer chatty([&](int connection) {
      Receive(connection, 250);  // the opening
      for (int i = 0; i < 3; ++i) {
        if (Receive(connection, 1000).empty()) return;
        Send(connection, {0xFF, 0xFB, 0x03, 0xFF, 0xFA, 44, 107, 0x00});
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        Send(connection, {0xFF, 0xF0, 0x02, 0x31, 0xFF});
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        Send(connection, {0xFF, 0xF0, 0xDE, 0xFF});
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
        Send(connection, {0xF1});  // NOP: the trailing IAC was a command
      }
      // Then nothing but negotiation: it never restarts the quiet gap or the time-out.
      for (int i = 0; i < 60; ++i) {
        Send(connection, {0xFF, 0xFD, 0x18, 0xFF, 0xFB, 0x18});
        std::this_thread::sleep_for(std::chrono::milliseconds(15));
      }
    });
    Lens talk(chatty.Url("rfc2217"));
    ASSERT_EQ(talk.code, KELVARO_OK);
    unsigned short zoom = 0;
    EXPECT_EQ(kelvaro_position(talk.handle, KELVARO_ZOOM, &zoom), KELVARO_OK);
    EXPECT_EQ(zoom, 4095);
    EXPECT_EQ(kelvaro_position(talk.handle, KELVARO_ZOOM, &zoom), KELVARO_OK);
    EXPECT_EQ(kelvaro_position(talk.handle, KELVARO_ZOOM, &zoom), KELVARO_OK);
    const long long ms = MillisecondsOf([&] { EXPECT_EQ(kelvaro_position(talk.handle, KELVARO_ZOOM, &zoom), KELVARO_TIMEOUT); });
    EXPECT_LT(ms, 900);
  }
  {
    // A megabyte unasked: every read takes what fits and ends in time.
    ScriptedServer flood([](int connection) {
      const Bytes noise(1 << 20, 0x5A);
      Send(connection, noise);
      Receive(connection, 1000);
    });
    Lens flooded(flood.Url("tcp"));
    ASSERT_EQ(flooded.code, KELVARO_OK);
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    unsigned short zoom = 0;
    for (int i = 0; i < 3; ++i) {
      const long long ms = MillisecondsOf([&] { EXPECT_NE(kelvaro_position(flooded.handle, KELVARO_ZOOM, &zoom), KELVARO_OK); });
      EXPECT_LT(ms, 900);
    }
  }
  EXPECT_EQ(OpenDescriptors(), descriptors);
}

}  // namespace
}  // namespace kelvaro_test
