// Lenses behind a serial device server, through the DLL on Wine's Winsock: the real ser2net in
// front of the lens of COM5, by tcp:// (a raw byte stream) and rfc2217:// (Telnet, where a
// 0xFF data byte goes doubled both ways), with the flat functions and with kelvaro.h; names
// that are no URL, and servers that are not there.
#include <string>

#include "wine_host.h"

namespace kelvaro_wine {
namespace {

const char* const kSchemes[] = {"tcp", "rfc2217"};

class DeviceServer : public InitialisedTest {
 protected:
  void SetUp() override {
    ASSERT_NO_FATAL_FAILURE(InitialisedTest::SetUp());
    // The handshake request ends in 0xFF, the zoom reply 02 31 FF F0 DE carries one, and so
    // do the switch frames below: unescaped, Telnet would take them for commands.
    lens.Do("state zoom 4095");
    lens.ClearFrames();
    closed_ = LensPortOpeners();
  }

  // What the lens must have received for the exchanges both tests make.
  static std::vector<Bytes> Sent() {
    return {kHandshake, kZoomQuery, Frame(0x43, {0xFF}), Frame(0x53, {}), Frame(0x11, {}), Frame(0x12, {})};
  }

  // ser2net has the lens's terminal open while a client is connected, and only then.
  void ExpectServed() {
    EXPECT_GT(LensPortOpeners(), closed_) << "the connection did not go through ser2net";
  }
  void ExpectLetGo() {
    int last = -1;
    EXPECT_TRUE(WaitPortOpeners(LensDevice(), closed_, 3000, &last))
        << last << " openers, " << closed_ << " before: the connection was not closed";
  }

  int closed_ = 0;
};

TEST_F(DeviceServer, TheFlatFunctionsReachTheLensByBothKindsOfUrl) {
  for (const char* scheme : kSchemes) {
    const std::string url = Ser2netUrl(scheme);
    SCOPED_TRACE(url);
    lens.Do("state switch 3 00");
    ASSERT_EQ(dll.OpenComPort(url.c_str()), KELVARO_OK);
    ExpectServed();
    lens.ClearFrames();  // the rfc2217 opening sends no data, but make sure
    EXPECT_EQ(dll.Connect(), KELVARO_OK);
    unsigned short zoom = 0;
    EXPECT_EQ(dll.GetLensZoom(&zoom), KELVARO_OK);
    EXPECT_EQ(zoom, 4095);
    EXPECT_EQ(dll.SetSwitch3Host(0xFF), KELVARO_OK);
    char label[64] = "";
    unsigned short value = 0;
    EXPECT_EQ(dll.GetSwitch3Host(label, &value), KELVARO_OK);
    EXPECT_STREQ(label, "Mag x1 [ff]");
    char name[160] = "";
    EXPECT_EQ(dll.GetLensName(name), KELVARO_OK);
    EXPECT_STREQ(name, "Simulated Zoom Lens 10-200");
    EXPECT_EQ(lens.Frames(), Sent());
    EXPECT_NE(lens.Do("state").find("switch3 ff"), std::string::npos);
    EXPECT_EQ(dll.CloseComPort(), KELVARO_OK);
    ExpectLetGo();
  }
}

TEST_F(DeviceServer, TheHandleInterfaceReachesTheLensByBothKindsOfUrl) {
  for (const char* scheme : kSchemes) {
    const std::string url = Ser2netUrl(scheme);
    SCOPED_TRACE(url);
    lens.Do("state switch 3 00");
    kelvaro_lens* handle = nullptr;
    ASSERT_EQ(dll.kelvaro_open(url.c_str(), nullptr, &handle), KELVARO_OK);
    ASSERT_NE(handle, nullptr);
    ExpectServed();
    lens.ClearFrames();
    EXPECT_EQ(dll.kelvaro_connect(handle), KELVARO_OK);
    unsigned short zoom = 0;
    EXPECT_EQ(dll.kelvaro_position(handle, KELVARO_ZOOM, &zoom), KELVARO_OK);
    EXPECT_EQ(zoom, 4095);
    EXPECT_EQ(dll.kelvaro_set_switch(handle, 3, 0xFF), KELVARO_OK);
    unsigned char byte = 0;
    EXPECT_EQ(dll.kelvaro_switch(handle, 3, &byte), KELVARO_OK);
    EXPECT_EQ(byte, 0xFF);
    char name[64] = "";
    EXPECT_EQ(dll.kelvaro_name(handle, name, sizeof name), KELVARO_OK);
    EXPECT_STREQ(name, "Simulated Zoom Lens 10-200");
    EXPECT_EQ(lens.Frames(), Sent());
    EXPECT_EQ(dll.kelvaro_close(handle), KELVARO_OK);
    ExpectLetGo();
  }
}

TEST_F(DeviceServer, MalformedUrlsAndRefusedConnectionsOpenNothing) {
  // Each carries a port that ser2net serves, so only what is wrong with it keeps it closed.
  const std::string tcp = Ser2netUrl("tcp");
  const std::string port = tcp.substr(tcp.rfind(':') + 1);
  const std::string malformed[] = {
      "tcp://127.0.0.1",        "tcp://127.0.0.1:",          "tcp://:" + port,
      "tcp://127.0.0.1:0",      "tcp://127.0.0.1:65536",     "tcp://127.0.0.1:" + port + "/",
      "tcp://127.0.0.1 :" + port, "rfc2217://[::1:" + port,  "rfc2217://127.0.0.1:+" + port,
  };
  for (const std::string& name : malformed) {
    SCOPED_TRACE(name);
    EXPECT_EQ(dll.OpenComPort(name.c_str()), KELVARO_UNABLE_TO_OPEN_PORT);
    EXPECT_EQ(dll.Connect(), KELVARO_PORT_NOT_OPEN);
    kelvaro_lens* out = reinterpret_cast<kelvaro_lens*>(1);
    EXPECT_EQ(dll.kelvaro_open(name.c_str(), nullptr, &out), KELVARO_INVALID_ARGUMENT);
    EXPECT_EQ(out, nullptr);
  }

  // A refusal comes back at once; an open that waited out the two seconds allowed for
  // connecting would have missed it.
  for (const char* scheme : kSchemes) {
    const std::string name = std::string(scheme) + "://127.0.0.1:" + std::to_string(ClosedPort());
    SCOPED_TRACE(name);
    int code = -1;
    EXPECT_LT(MillisecondsOf([&] { code = dll.OpenComPort(name.c_str()); }), 1500);
    EXPECT_EQ(code, KELVARO_UNABLE_TO_OPEN_PORT);
    EXPECT_EQ(dll.Connect(), KELVARO_PORT_NOT_OPEN);
    kelvaro_lens* out = reinterpret_cast<kelvaro_lens*>(1);
    EXPECT_LT(MillisecondsOf([&] { code = dll.kelvaro_open(name.c_str(), nullptr, &out); }), 1500);
    EXPECT_EQ(code, KELVARO_UNABLE_TO_OPEN_PORT);
    EXPECT_EQ(out, nullptr);
  }
  EXPECT_TRUE(lens.Frames().empty());
  EXPECT_EQ(LensPortOpeners(), closed_);
}

}  // namespace
}  // namespace kelvaro_wine
