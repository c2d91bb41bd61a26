// The simulated lens seen from the host's side of its pseudo-terminal, with plain POSIX calls.
#include "control.h"
#include "lens_sim.h"

#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <functional>
#include <mutex>
#include <thread>
#include <utility>

#include <gtest/gtest.h>

namespace {

using lenssim::Bytes;
using lenssim::Fault;
using Clock = std::chrono::steady_clock;

int OpenHost(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
  if (fd >= 0) {
    termios tio{};
    tcgetattr(fd, &tio);
    cfmakeraw(&tio);
    tcsetattr(fd, TCSANOW, &tio);
  }
  return fd;
}

// Reads until `quiet_ms` pass without a byte (or `limit_ms` in all, which marks a hang).
Bytes ReadQuiet(int fd, int quiet_ms = 150, int limit_ms = 3000) {
  Bytes got;
  const auto limit = Clock::now() + std::chrono::milliseconds(limit_ms);
  while (Clock::now() < limit) {
    pollfd p{fd, POLLIN, 0};
    if (::poll(&p, 1, quiet_ms) <= 0) break;
    std::uint8_t buf[256];
    const ssize_t n = ::read(fd, buf, sizeof buf);
    if (n <= 0) break;
    got.insert(got.end(), buf, buf + n);
  }
  return got;
}

class LensSimTest : public ::testing::Test {
 protected:
  void SetUp() override {
    host_ = OpenHost(sim_.DevicePath());
    ASSERT_GE(host_, 0) << sim_.DevicePath();
  }
  void TearDown() override {
    if (host_ >= 0) ::close(host_);
  }
  void Send(const Bytes& bytes) {
    ASSERT_EQ(::write(host_, bytes.data(), bytes.size()), static_cast<ssize_t>(bytes.size()));
  }
  Bytes Ask(const Bytes& request, int quiet_ms = 150) {
    Send(request);
    return ReadQuiet(host_, quiet_ms);
  }

  // The reply to `request`, `count` bytes (or what came in 3 s, which marks a hang), with
  // how long after the request its last byte came and how many reads it took.
  struct Timed {
    Bytes bytes;
    Clock::duration last{};
    int reads = 0;
  };
  Timed AskTimed(const Bytes& request, std::size_t count) {
    Timed got;
    const auto sent = Clock::now();
    Send(request);
    const auto limit = sent + std::chrono::seconds(3);
    while (got.bytes.size() < count && Clock::now() < limit) {
      pollfd p{host_, POLLIN, 0};
      if (::poll(&p, 1, 100) <= 0) continue;
      std::uint8_t buf[256];
      const ssize_t n = ::read(host_, buf, sizeof buf);
      if (n <= 0) continue;
      got.bytes.insert(got.bytes.end(), buf, buf + n);
      got.last = Clock::now() - sent;
      ++got.reads;
    }
    return got;
  }

  lenssim::Simulator sim_;
  int host_ = -1;
};

TEST(LensSimFrames, ChecksumFramesAndScaledNumbers) {
  EXPECT_EQ(lenssim::MakeFrame(0x01, {}), (Bytes{0x00, 0x01, 0xFF}));
  EXPECT_EQ(lenssim::MakeFrame(0x21, {0x80, 0x00}), (Bytes{0x02, 0x21, 0x80, 0x00, 0x5D}));
  EXPECT_EQ(lenssim::MakeFrame(0x44, {0xF8}), (Bytes{0x01, 0x44, 0xF8, 0xC3}));
  const Bytes zero{0x00, 0x00};
  EXPECT_EQ(lenssim::Checksum(zero.data(), 2), 0x00);
  EXPECT_EQ(lenssim::EncodeScaled(900, -3), 0xD384);
  EXPECT_EQ(lenssim::EncodeScaled(4095, 7), 0x7FFF);
  EXPECT_EQ(lenssim::EncodeScaled(1, -8), 0x8001);
}

TEST_F(LensSimTest, AnswersHandshakeAndRecordsIt) {
  EXPECT_EQ(Ask({0x00, 0x01, 0xFF}), (Bytes{0x00, 0x01, 0xFF}));
  ASSERT_TRUE(sim_.WaitForFrames(1, 1000));
  EXPECT_EQ(sim_.Received(), (std::vector<Bytes>{{0x00, 0x01, 0xFF}}));
  sim_.ClearReceived();
  EXPECT_TRUE(sim_.Received().empty());
  EXPECT_FALSE(sim_.WaitForFrames(1, 50));
}

TEST_F(LensSimTest, MoveThenQueryReadsTheTarget) {
  EXPECT_EQ(Ask({0x02, 0x21, 0x12, 0x30, 0x9B}), (Bytes{0x00, 0x21, 0xDF}));
  EXPECT_EQ(Ask({0x00, 0x31, 0xCF}), lenssim::MakeFrame(0x31, {0x12, 0x30}));
  EXPECT_EQ(sim_.State().zoom, 0x1230);
  EXPECT_EQ(sim_.State().iris, 0x8000);  // the other motors stay put
  EXPECT_EQ(Ask({0x00, 0x30, 0xD0}), lenssim::MakeFrame(0x30, {0x80, 0x00}));
}

TEST_F(LensSimTest, MotorTravelsAtItsSpeed) {
  lenssim::LensState state;
  state.motor_speed = 0x4000 * 5 / 2;  // 0x8000 to 0x4000 in about 400 ms
  sim_.SetState(state);
  Ask(lenssim::MakeFrame(0x22, {0x40, 0x00}));
  const std::uint16_t first = sim_.State().focus;
  EXPECT_GT(first, 0x4000);
  EXPECT_LE(first, 0x8000);
  std::uint16_t now = first;
  const auto limit = Clock::now() + std::chrono::seconds(3);
  while (now != 0x4000 && Clock::now() < limit) {
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
    const std::uint16_t next = sim_.State().focus;
    EXPECT_LE(next, now);  // moving down only, never past the target
    EXPECT_GE(next, 0x4000);
    now = next;
  }
  EXPECT_EQ(now, 0x4000);
  EXPECT_EQ(Ask({0x00, 0x32, 0xCE}), lenssim::MakeFrame(0x32, {0x40, 0x00}));
}

TEST_F(LensSimTest, SwitchesAndOptics) {
  EXPECT_EQ(Ask({0x00, 0x50, 0xB0}), lenssim::MakeFrame(0x50, {0x0E}));
  EXPECT_EQ(Ask({0x01, 0x44, 0xFC, 0xBF}), (Bytes{0x00, 0x44, 0xBC}));
  EXPECT_EQ(Ask({0x00, 0x54, 0xAC}), lenssim::MakeFrame(0x54, {0xFC}));
  EXPECT_EQ(sim_.State().switches[4], 0xFC);
  EXPECT_EQ(Ask({0x00, 0x13, 0xED}), lenssim::MakeFrame(0x13, {0xE0, 0x00}));
  EXPECT_EQ(Ask({0x00, 0x14, 0xEC}), lenssim::MakeFrame(0x14, {0xD0, 0xC8}));
  EXPECT_EQ(Ask({0x00, 0x15, 0xEB}), lenssim::MakeFrame(0x15, {0xD0, 0x0A}));
  EXPECT_EQ(Ask({0x00, 0x16, 0xEA}), lenssim::MakeFrame(0x16, {0xD3, 0x84}));
}

TEST_F(LensSimTest, NameComesInTwoParts) {
  const auto text = [](const char* s) { return Bytes(s, s + std::char_traits<char>::length(s)); };
  EXPECT_EQ(Ask({0x00, 0x11, 0xEF}), lenssim::MakeFrame(0x11, text("Simulated Zoom ")));
  EXPECT_EQ(Ask({0x00, 0x12, 0xEE}), lenssim::MakeFrame(0x12, text("Lens 10-200")));
  lenssim::LensState state;
  state.name = "Short";
  sim_.SetState(state);
  EXPECT_EQ(Ask({0x00, 0x11, 0xEF}), lenssim::MakeFrame(0x11, text("Short")));
  EXPECT_EQ(Ask({0x00, 0x12, 0xEE}), (Bytes{0x00, 0x12, 0xEE}));
}

TEST_F(LensSimTest, IgnoresWhatItCannotUnderstandButRecordsIt) {
  const std::vector<Bytes> requests = {
      {0x00, 0x41, 0xBF},              // no switch 1
      {0x00, 0x01, 0xFE},              // bad checksum
      {0x01, 0x31, 0x00, 0xCE},        // query with data
  };
  for (const Bytes& r : requests) EXPECT_TRUE(Ask(r).empty());
  Send({0x02, 0x21, 0x80});  // cut short: given up after 100 ms of silence
  ASSERT_TRUE(sim_.WaitForFrames(4, 2000));
  EXPECT_EQ(Ask({0x00, 0x01, 0xFF}), (Bytes{0x00, 0x01, 0xFF}));  // parser back in step
  std::vector<Bytes> expected = requests;
  expected.push_back({0x02, 0x21, 0x80});
  expected.push_back({0x00, 0x01, 0xFF});
  EXPECT_EQ(sim_.Received(), expected);
  EXPECT_EQ(sim_.State().zoom, 0x8000);
}

TEST_F(LensSimTest, FaultsBendTheReply) {
  const Bytes hello{0x00, 0x01, 0xFF};
  sim_.SetFault(0x01, Fault::Silent(1));
  EXPECT_TRUE(Ask(hello).empty());
  EXPECT_EQ(Ask(hello), hello);  // used up after one reply

  sim_.SetFault(0x01, Fault::BadChecksum());
  EXPECT_EQ(Ask(hello), (Bytes{0x00, 0x01, 0x00}));
  EXPECT_EQ(Ask(hello), (Bytes{0x00, 0x01, 0x00}));  // until cleared
  sim_.ClearFaults();
  EXPECT_EQ(Ask(hello), hello);

  sim_.SetFault(0x31, Fault::WrongCode(0x11, 1));
  EXPECT_EQ(Ask({0x00, 0x31, 0xCF}), lenssim::MakeFrame(0x11, {0x80, 0x00}));
  sim_.SetFault(0x31, Fault::Short(2, 1));
  EXPECT_EQ(Ask({0x00, 0x31, 0xCF}), (Bytes{0x02, 0x31}));
  sim_.SetFault(0x31, Fault::Raw({0xAA, 0xBB}, 1));
  EXPECT_EQ(Ask({0x00, 0x31, 0xCF}), (Bytes{0xAA, 0xBB}));
  sim_.SetFault(0x41, Fault::Raw({0x00, 0x41, 0xBF}, 1));  // even for a code it ignores
  EXPECT_EQ(Ask({0x00, 0x41, 0xBF}), (Bytes{0x00, 0x41, 0xBF}));

  sim_.SetFault(0x21, Fault::Silent());  // the move still happens
  EXPECT_TRUE(Ask({0x02, 0x21, 0x12, 0x30, 0x9B}).empty());
  EXPECT_EQ(sim_.State().zoom, 0x1230);
}

TEST_F(LensSimTest, DelayedAndSplitRepliesKeepTheirOrder) {
  sim_.SetFault(0x01, Fault::Delay(400, 1));
  Send({0x00, 0x01, 0xFF});
  EXPECT_TRUE(ReadQuiet(host_, 100).empty());        // nothing yet
  Send({0x00, 0x50, 0xB0});                          // answered after the delayed reply
  EXPECT_EQ(ReadQuiet(host_, 800), (Bytes{0x00, 0x01, 0xFF, 0x01, 0x50, 0x0E, 0xA1}));

  sim_.SetFault(0x31, Fault::Split(2, 400, 1));
  Send({0x00, 0x31, 0xCF});
  EXPECT_EQ(ReadQuiet(host_, 100), (Bytes{0x02, 0x31}));
  EXPECT_EQ(ReadQuiet(host_, 800), (Bytes{0x80, 0x00, 0x4D}));
}

TEST_F(LensSimTest, UnsolicitedBytesReachTheHost) {
  sim_.SendUnsolicited({0x00, 0x21, 0xDF});
  EXPECT_EQ(ReadQuiet(host_), (Bytes{0x00, 0x21, 0xDF}));
}

TEST_F(LensSimTest, HostMayReopenButHangUpCutsTheLine) {
  ::close(host_);
  std::this_thread::sleep_for(std::chrono::milliseconds(100));  // a closed line, for a while
  host_ = OpenHost(sim_.DevicePath());
  ASSERT_GE(host_, 0);
  EXPECT_EQ(Ask({0x00, 0x01, 0xFF}), (Bytes{0x00, 0x01, 0xFF}));

  const std::string path = sim_.DevicePath();
  sim_.HangUp();
  sim_.HangUp();  // twice is harmless
  EXPECT_EQ(sim_.DevicePath(), path);
  pollfd p{host_, POLLIN, 0};
  ASSERT_EQ(::poll(&p, 1, 1000), 1);
  EXPECT_TRUE(p.revents & POLLHUP);
  const std::uint8_t byte = 0;
  EXPECT_EQ(::write(host_, &byte, 1), -1);
  EXPECT_EQ(errno, EIO);
  sim_.SendUnsolicited({0x01});  // ignored, not a crash
}

TEST_F(LensSimTest, LineFaultsSilenceDelayAndSpoilReplies) {
  const Bytes hello{0x00, 0x01, 0xFF};
  lenssim::LineFaults line;
  line.silent = true;
  sim_.SetLineFaults(line);
  EXPECT_TRUE(Ask({0x02, 0x21, 0x12, 0x30, 0x9B}).empty());
  EXPECT_EQ(sim_.State().zoom, 0x1230);  // heard and obeyed, just not answered

  line = {};
  line.delay_ms = 300;
  sim_.SetLineFaults(line);
  Send(hello);
  EXPECT_TRUE(ReadQuiet(host_, 100).empty());
  EXPECT_EQ(ReadQuiet(host_, 600), hello);

  line = {};
  line.noise = 1.0;
  sim_.SetLineFaults(line);
  sim_.ClearFaults();  // the line's faults stay
  EXPECT_EQ(Ask(hello), (Bytes{0x00, 0x01, 0x00}));

  // Half the replies spoilt, in the same order again for the same seed.
  line.noise = 0.5;
  line.seed = 7;
  const auto pattern = [&] {
    sim_.SetLineFaults(line);
    std::string spoilt;
    for (int i = 0; i < 40; ++i) spoilt += Ask(hello, 20) == hello ? '.' : 'x';
    return spoilt;
  };
  const std::string first = pattern();
  const auto bad = std::count(first.begin(), first.end(), 'x');
  EXPECT_GT(bad, 5) << first;
  EXPECT_LT(bad, 35) << first;
  EXPECT_EQ(pattern(), first);
}

// At 1200 baud a byte takes 8.3 ms: requests are heard and replies leave at that pace,
// with faults and the line's delay on top. Only lower bounds are certain.
TEST_F(LensSimTest, BaudPacesRequestsAndRepliesWithTheirFaults) {
  struct Case {
    const char* what;
    std::function<void(lenssim::Simulator&)> set_up;
    Bytes request;
    Bytes reply;
    int byte_times;  // the reply's last byte comes no sooner than this many byte times
    int delay_ms;    // plus this
    std::vector<std::uint8_t> logged;
  };
  const Bytes zoom_query{0x00, 0x31, 0xCF};
  const Bytes zoom_reply = lenssim::MakeFrame(0x31, {0x80, 0x00});
  const auto none = [](lenssim::Simulator&) {};
  Bytes two_queries = zoom_query;
  two_queries.insert(two_queries.end(), {0x00, 0x01, 0xFF});
  Bytes two_replies = zoom_reply;
  two_replies.insert(two_replies.end(), {0x00, 0x01, 0xFF});
  const std::vector<Case> cases = {
      {"query: 3 bytes in, 5 out", none, zoom_query, zoom_reply, 8, 0, {0x31}},
      {"move: 5 bytes in, 3 out", none, {0x02, 0x21, 0x80, 0x00, 0x5D}, {0x00, 0x21, 0xDF}, 8, 0, {0x21}},
      {"line delay adds",
       [](lenssim::Simulator& lens) {
         lenssim::LineFaults line;
         line.delay_ms = 40;
         lens.SetLineFaults(line);
       },
       zoom_query, zoom_reply, 8, 40, {0x31}},
      {"split: the rest after the gap", [](lenssim::Simulator& lens) { lens.SetFault(0x31, Fault::Split(2, 60, 1)); },
       zoom_query, zoom_reply, 6, 60, {0x31}},
      {"short", [](lenssim::Simulator& lens) { lens.SetFault(0x31, Fault::Short(2, 1)); }, zoom_query,
       {0x02, 0x31}, 5, 0, {0x31}},
      {"noise", [](lenssim::Simulator& lens) {
         lenssim::LineFaults line;
         line.noise = 1.0;
         lens.SetLineFaults(line);
       },
       zoom_query, {0x02, 0x31, 0x80, 0x00, 0xB2}, 8, 0, {0x31}},
      // The second request is heard 6 byte times in; its reply waits for the first to leave.
      {"two requests at once", none, two_queries, two_replies, 11, 0, {0x31, 0x01}},
  };
  std::mutex mutex;
  std::vector<std::uint8_t> logged;
  sim_.OnReplySent([&](std::uint8_t function) {
    std::lock_guard<std::mutex> lock(mutex);
    logged.push_back(function);
  });
  sim_.SetBaud(1200);
  EXPECT_EQ(sim_.Baud(), 1200);
  const auto byte_time = std::chrono::duration<double, std::milli>(10.0 / 1200 * 1000);
  for (const Case& c : cases) {
    sim_.SetLineFaults({});
    sim_.ClearFaults();
    c.set_up(sim_);
    {
      std::lock_guard<std::mutex> lock(mutex);
      logged.clear();
    }
    const Timed got = AskTimed(c.request, c.reply.size());
    EXPECT_EQ(got.bytes, c.reply) << c.what;
    EXPECT_GE(got.last, c.byte_times * byte_time * 0.999 + std::chrono::milliseconds(c.delay_ms)) << c.what;
    EXPECT_GE(got.reads, 2) << c.what << ": a byte at a time, not all at once";
    EXPECT_TRUE(ReadQuiet(host_, 30).empty()) << c.what;
    std::lock_guard<std::mutex> lock(mutex);
    EXPECT_EQ(logged, c.logged) << c.what;
  }

  sim_.SetLineFaults({});
  {
    std::lock_guard<std::mutex> lock(mutex);
    logged.clear();
  }
  sim_.SendUnsolicited({0x0A, 0x0B});  // paced too, but no reply
  EXPECT_EQ(ReadQuiet(host_), (Bytes{0x0A, 0x0B}));
  sim_.SetBaud(0);
  EXPECT_EQ(sim_.Baud(), 0);
  EXPECT_EQ(Ask(zoom_query), zoom_reply);
  std::lock_guard<std::mutex> lock(mutex);
  EXPECT_EQ(logged, (std::vector<std::uint8_t>{0x31}));
}

TEST_F(LensSimTest, TraceSeesFramesBothWays) {
  std::mutex mutex;
  std::vector<std::pair<lenssim::Direction, Bytes>> seen;
  sim_.SetTrace([&](lenssim::Direction direction, const Bytes& bytes) {
    std::lock_guard<std::mutex> lock(mutex);
    seen.emplace_back(direction, bytes);
  });
  Ask({0x00, 0x31, 0xCF});
  Ask({0x00, 0x31, 0x00});  // bad checksum: traced, not answered
  sim_.SetTrace({});
  Ask({0x00, 0x01, 0xFF});
  std::lock_guard<std::mutex> lock(mutex);
  const std::vector<std::pair<lenssim::Direction, Bytes>> expected = {
      {lenssim::Direction::kToLens, {0x00, 0x31, 0xCF}},
      {lenssim::Direction::kToHost, {0x02, 0x31, 0x80, 0x00, 0x4D}},
      {lenssim::Direction::kToLens, {0x00, 0x31, 0x00}},
  };
  EXPECT_EQ(seen, expected);
}

TEST_F(LensSimTest, ControlCommandsScriptTheLens) {
  const auto run = [&](const std::string& line) { return lenssim::RunControlCommand(sim_, line).line; };
  EXPECT_EQ(run("state zoom 291"), "ok");
  EXPECT_EQ(run("state switch 3 0xFE"), "ok");
  EXPECT_EQ(run("state name Two  Spaces Lens"), "ok");
  EXPECT_EQ(run("move focus 16"), "ok");  // at once: the speed is 0
  EXPECT_EQ(run("state"), "ok iris 2048 zoom 291 focus 16 switch0 0e switch2 df switch3 fe switch4 f8 speed 0");
  EXPECT_EQ(sim_.State().name, "Two  Spaces Lens");
  EXPECT_EQ(Ask({0x00, 0x31, 0xCF}), lenssim::MakeFrame(0x31, {0x12, 0x30}));

  EXPECT_EQ(run("fault 0x31 wrong 11 1"), "ok");
  EXPECT_EQ(Ask({0x00, 0x31, 0xCF}), lenssim::MakeFrame(0x11, {0x12, 0x30}));
  EXPECT_EQ(run("fault 01 split 1 300"), "ok");
  Send({0x00, 0x01, 0xFF});
  EXPECT_EQ(ReadQuiet(host_, 100), (Bytes{0x00}));
  EXPECT_EQ(ReadQuiet(host_, 600), (Bytes{0x01, 0xFF}));
  EXPECT_EQ(run("fault 01 off"), "ok");
  EXPECT_EQ(Ask({0x00, 0x01, 0xFF}), (Bytes{0x00, 0x01, 0xFF}));
  EXPECT_EQ(run("send 0x0a0B"), "ok");
  EXPECT_EQ(ReadQuiet(host_), (Bytes{0x0A, 0x0B}));
  EXPECT_EQ(run("frames"), "ok 0031cf 0031cf 0001ff 0001ff");
  EXPECT_EQ(run("line noise 0.25"), "ok");
  EXPECT_EQ(run("line delay 40"), "ok");
  EXPECT_EQ(run("line baud 38400"), "ok");
  EXPECT_EQ(run("line"), "ok silent 0 delay 40 noise 0.25 baud 38400");
  EXPECT_EQ(sim_.Baud(), 38400);

  const std::vector<std::pair<std::string, std::string>> refused = {
      {"fault 131 silent", "err function code \"131\" is not a hex byte 00..ff"},
      {"fault 31 shout", "err no fault \"shout\"; fault CODE silent|badsum [TIMES] | delay MS [TIMES] | "
                         "split AT MS [TIMES] | wrong CODE2 [TIMES] | short LEN [TIMES] | raw HEX [TIMES] | off"},
      {"fault 31 raw 123", "err \"123\" is not hex bytes (an even number of hex digits)"},
      {"fault 31 silent 0", "err times \"0\" is not a number 1..1000000"},
      {"state zoom 4096", "err position \"4096\" is not a number 0..4095"},
      {"move nose 1", "err no motor \"nose\"; motors: iris, zoom, focus"},
      {"line noise 1.5", "err noise \"1.5\" is not a rate 0..1"},
      {"line baud 4000001", "err baud \"4000001\" is not a number 0..4000000"},
      {"line baud", "err usage: line [silent 0|1 | delay MS | noise RATE | baud N]"},
      {"clear now", "err usage: clear"},
  };
  for (const auto& [command, answer] : refused) EXPECT_EQ(run(command), answer);
  EXPECT_EQ(run("state"), "ok iris 2048 zoom 291 focus 16 switch0 0e switch2 df switch3 fe switch4 f8 speed 0");

  EXPECT_EQ(run("  "), "");  // no answer at all
  EXPECT_FALSE(lenssim::RunControlCommand(sim_, "ping").quit);
  EXPECT_TRUE(lenssim::RunControlCommand(sim_, "quit").quit);
}

}  // namespace
