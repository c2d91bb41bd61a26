// The two programs against each other: kelvaroctl drives kelvaro-lens-sim over a pseudo-
// terminal (or through ser2net in front of it), and the test scripts the simulated lens
// through its control channel.
#include <arpa/inet.h>
#include <dirent.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <poll.h>
#include <stdlib.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstring>
#include <fstream>
#include <memory>
#include <sstream>
#include <stdexcept>
#include <thread>

#include <gtest/gtest.h>

#include "ser2net.h"
#include "process.h"

namespace tools_test {
namespace {

const std::string kCtl = KELVAROCTL_PATH;
const std::string kSim = LENS_SIM_PATH;

bool Exists(const std::string& path) {
  struct stat info {};
  return ::lstat(path.c_str(), &info) == 0;
}

std::string LinkTarget(const std::string& path) {
  char buffer[4096];
  const ssize_t n = ::readlink(path.c_str(), buffer, sizeof buffer);
  return n < 0 ? "(no link)" : std::string(buffer, static_cast<std::size_t>(n));
}

// The lens's device opened as a host opens it, raw; -1 when it cannot be.
int OpenRaw(const std::string& path) {
  const int fd = ::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK);
  termios tio{};
  if (fd >= 0 && ::tcgetattr(fd, &tio) == 0) {
    ::cfmakeraw(&tio);
    ::tcsetattr(fd, TCSANOW, &tio);
  }
  return fd;
}

// The bytes that arrive on `fd` until `count` are in or 1 s passes, as hex.
std::string ReadHex(int fd, std::size_t count) {
  std::string hex;
  pollfd p{fd, POLLIN, 0};
  unsigned char byte = 0;
  while (hex.size() < 2 * count && ::poll(&p, 1, 1000) == 1 && ::read(fd, &byte, 1) == 1) {
    char digits[4];
    std::snprintf(digits, sizeof digits, "%02x", byte);
    hex += digits;
  }
  return hex;
}

// kelvaro-lens-sim in a directory of its own, with its lens and control links.
class SimProgram {
 public:
  explicit SimProgram(std::vector<std::string> options = {}) {
    char dir[] = "/tmp/kelvaro-tools-XXXXXX";
    // Never fall back to /tmp itself: the destructor removes the links and the directory.
    if (::mkdtemp(dir) == nullptr) throw std::runtime_error(std::string("mkdtemp: ") + std::strerror(errno));
    dir_ = dir;
    std::vector<std::string> argv = {kSim, "--link", Lens(), "--control-link", dir_ + "/control",
                                      "--ready-file", ReadyFile()};
    argv.insert(argv.end(), options.begin(), options.end());
    process_ = std::make_unique<Process>(argv);
    std::optional<std::string> line;
    while ((line = process_->ReadLine(10000)) && *line != "ready") {
    }
    EXPECT_TRUE(line) << "the simulator never became ready: " << process_->Err();
  }
  ~SimProgram() {
    Stop();
    if (control_ >= 0) ::close(control_);
    for (const char* name : {"/lens", "/control", "/ready"}) ::unlink((dir_ + name).c_str());
    ::rmdir(dir_.c_str());
  }

  std::string Lens() const { return dir_ + "/lens"; }
  // The device itself, from the ready file's "lens /dev/pts/N".
  std::string Device() const {
    std::ifstream ready(ReadyFile());
    std::string word;
    std::string device;
    ready >> word >> device;
    return device;
  }
  std::string Dir() const { return dir_; }
  std::string ReadyFile() const { return dir_ + "/ready"; }
  int Stop(int signal = SIGTERM) { return process_->Wait(10000, signal); }
  const std::string& Err() const { return process_->Err(); }

  // One command on the control channel, opened as any program would; its answer line.
  std::string Ask(const std::string& command) {
    if (control_ < 0) control_ = ::open((dir_ + "/control").c_str(), O_RDWR | O_NOCTTY);
    const std::string line = command + "\n";
    if (::write(control_, line.data(), line.size()) != static_cast<ssize_t>(line.size())) return "(write failed)";
    std::string answer;
    char c = 0;
    pollfd p{control_, POLLIN, 0};
    while (::poll(&p, 1, 3000) == 1 && ::read(control_, &c, 1) == 1 && c != '\n') answer += c;
    return answer;
  }

  // What the host sent since the last clearframes, less the library's background check.
  std::string HostFrames() {
    std::istringstream words(Ask("frames"));
    std::string ok;
    words >> ok;
    std::string frames = ok == "ok" ? "" : "(not ok)";
    for (std::string word; words >> word;) {
      if (word != "0001ff" && word != "0144f8c3") frames += (frames.empty() ? "" : " ") + word;
    }
    return frames;
  }

  // kelvaroctl --port <lens> ARGS...
  Result Ctl(std::vector<std::string> args) {
    args.insert(args.begin(), {kCtl, "--port", Lens()});
    return RunProgram(args);
  }

 private:
  std::string dir_;
  std::unique_ptr<Process> process_;
  int control_ = -1;
};

// Parses `json` with Python's json module and prints `expression` of it (the document is d).
std::string PythonSays(const std::string& json, const std::string& expression) {
  const Result python = RunProgram({"python3", "-c", "import json,sys; d=json.load(sys.stdin); print(" + expression + ")"}, &json);
  EXPECT_EQ(python.status, 0) << python.err << "\nfor: " << json;
  return python.out;
}

// Waits until ser2net has closed `device` after a client left: until then it resets a
// connection to the other port, which wants the same device.
bool Released(const lenssim::Ser2net& server, const std::string& device) {
  const std::string fds = "/proc/" + std::to_string(server.Pid()) + "/fd";
  for (int i = 0; i < 300; ++i) {
    bool held = false;
    if (DIR* dir = ::opendir(fds.c_str())) {
      while (const dirent* entry = ::readdir(dir)) held = held || LinkTarget(fds + "/" + entry->d_name) == device;
      ::closedir(dir);
    }
    if (!held) return true;
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  return false;
}

TEST(Tools, StatusShowsWhatTheLensSays) {
  SimProgram sim({"--speed", "0", "--name", "Studio Zoom 12-480 Mk II", "--wide", "12", "--tele", "480",
                  "--mod", "1.5", "--aperture", "2.8"});
  // Reads that end with the frame and reads that wait out the line tell the same.
  const std::vector<std::string> framings[] = {{}, {"--framing", "timed"}, {"--framing=frame"}};
  for (const std::vector<std::string>& framing : framings) {
    std::vector<std::string> args = framing;
    args.push_back("status");
    const Result status = sim.Ctl(args);
    EXPECT_EQ(status.status, 0) << status.err;
    EXPECT_EQ(status.out, "port          " + sim.Lens() + "\n" +
                              "connect       OK\n"
                              "name          Studio Zoom 12-480 Mk II\n"
                              "focal length  Focal Length  12.0 to  480.0 mm\n"
                              "MOD           MOD:  1.5 meters\n"
                              "aperture      Aperture: f/2.80\n"
                              "iris          2048\n"
                              "zoom          2048\n"
                              "focus         2048\n"
                              "switch 0      850nm  [e] (value 14)\n"
                              "switch 2      Remote Iris [df] (value 1)\n"
                              "switch 3      Mag x1 [ff] (value 15)\n"
                              "switch 4      Mode 0 Host [f8] (value 0)\n")
        << (framing.empty() ? "default" : framing[0]);
    EXPECT_EQ(status.err, "");
  }
}

// A lens behind ser2net tells the same as on its device, as a raw byte stream and over
// Telnet with COM port control.
TEST(Tools, StatusThroughSer2netMatchesTheDevice) {
  if (std::string(SER2NET_PATH).empty()) GTEST_SKIP() << "ser2net is not installed";
  SimProgram sim({"--speed", "0", "--name", "Relay Zoom 8-160 behind a server", "--wide", "8", "--tele", "160"});
  EXPECT_EQ(sim.Ask("state zoom 4095"), "ok");  // the reply 02 31 ff f0 de: Telnet doubles its 0xff
  lenssim::Ser2net server(SER2NET_PATH, sim.Dir(), sim.Device());
  ASSERT_TRUE(server.Start()) << "ser2net did not start: " << server.Err();

  const auto after_port_line = [](const std::string& out) { return out.substr(out.find('\n') + 1); };
  const Result direct = RunProgram({kCtl, "--port", sim.Device(), "status"});
  ASSERT_EQ(direct.status, 0) << direct.err;
  EXPECT_NE(direct.out.find("\nname          Relay Zoom 8-160 behind a server\n"), std::string::npos) << direct.out;
  EXPECT_NE(direct.out.find("\nzoom          4095\n"), std::string::npos) << direct.out;
  for (const bool telnet : {false, true}) {
    const std::string url = server.Url(telnet);
    ASSERT_TRUE(Released(server, sim.Device())) << url;
    const Result through = RunProgram({kCtl, "--port", url, "status"});
    EXPECT_EQ(through.status, 0) << url << ": " << through.err;
    EXPECT_EQ(through.out.rfind("port          " + url + "\n", 0), 0u) << through.out;
    EXPECT_EQ(after_port_line(through.out), after_port_line(direct.out)) << url;
  }
}

TEST(Tools, SetGetAndSwitchesChangeTheLens) {
  SimProgram sim({"--speed", "0"});
  EXPECT_EQ(sim.Ctl({"set", "zoom", "1000"}).out, "zoom  moving to 1000\n");
  EXPECT_EQ(sim.Ctl({"get", "zoom"}).out, "zoom  1000\n");
  EXPECT_EQ(sim.Ctl({"switch", "3", "0xfe"}).out, "switch 3  set to 0xfe\n");
  EXPECT_EQ(sim.Ctl({"mag"}).out, "2x magnifier  on\n");
  EXPECT_EQ(sim.Ctl({"autoiris", "on"}).out, "auto iris  on\n");
  EXPECT_EQ(sim.Ask("state"), "ok iris 2048 zoom 1000 focus 2048 switch0 0e switch2 cf switch3 fe switch4 fc speed 0");
  const Result switches = sim.Ctl({"switch"});
  EXPECT_EQ(switches.status, 0);
  EXPECT_EQ(switches.out,
            "switch 0  850nm  [e] (value 14)\n"
            "switch 2  Auto Iris [cf] (value 0)\n"
            "switch 3  Mag x2 [fe] (value 14)\n"
            "switch 4  Mode 4 Host [fc] (value 4)\n");
  EXPECT_EQ(sim.Ctl({"mag", "off"}).out, "2x magnifier  off\n");
  EXPECT_EQ(sim.Ctl({"switch", "0", "12"}).status, 0);
  EXPECT_EQ(sim.Ask("state"), "ok iris 2048 zoom 1000 focus 2048 switch0 0c switch2 cf switch3 ff switch4 fc speed 0");
  // Every kind of label the switches have, worded as the library's flat texts word them.
  const struct {
    const char* state;
    const char* number;
    const char* shown;
  } labels[] = {
      {"state switch 0 0c", "0", "switch 0  950nm  [c] (value 12)\n"},
      {"state switch 0 0d", "0", "switch 0  880nm  [d] (value 13)\n"},
      {"state switch 0 ff", "0", "switch 0  None   [ff] (value 15)\n"},
      {"state switch 0 03", "0", "switch 0  LensCode [3] (value 3)\n"},
      {"state switch 2 10", "2", "switch 2  Remote Iris [10] (value 1)\n"},
      {"state switch 3 00", "3", "switch 3  Mag x2 [0] (value 0)\n"},
      {"state switch 4 07", "4", "switch 4  Mode 7 Local/Auto [7] (value 7)\n"},
      {"state switch 4 fd", "4", "switch 4  Mode 5 Host [fd] (value 5)\n"},
  };
  for (const auto& label : labels) {
    EXPECT_EQ(sim.Ask(label.state), "ok");
    EXPECT_EQ(sim.Ctl({"switch", label.number}).out, label.shown) << label.state;
  }
}

TEST(Tools, SetWaitShowsTheTravelUntilArrival) {
  SimProgram sim;  // motors at their typical speed
  const Result moved = sim.Ctl({"set", "focus", "0", "--wait"});
  EXPECT_EQ(moved.status, 0) << moved.err;
  std::istringstream lines(moved.out);
  std::vector<std::string> shown;
  for (std::string line; std::getline(lines, line);) shown.push_back(line);
  ASSERT_GE(shown.size(), 3u) << moved.out;  // a travel of about 1.4 s, read back every 0.2 s
  EXPECT_EQ(shown.back(), "focus  0 (arrived)");
  int previous = 2049;
  for (std::size_t i = 0; i + 1 < shown.size(); ++i) {
    ASSERT_EQ(shown[i].rfind("focus  ", 0), 0u) << shown[i];
    const int position = std::stoi(shown[i].substr(7));
    EXPECT_LT(position, previous);  // on the way down, never past the target
    EXPECT_GT(position, 0);
    previous = position;
  }
  const Result json = sim.Ctl({"--json", "set", "focus", "1000", "--wait"});
  EXPECT_EQ(json.status, 0);
  EXPECT_EQ(PythonSays(json.out, "d"), "{'focus': {'target': 1000, 'position': 1000}, 'errors': {}}\n");
}

// Lines of text.
std::vector<std::string> Lines(const std::string& text) {
  std::istringstream in(text);
  std::vector<std::string> lines;
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

TEST(Tools, MoveShowsThePathAndWaitsForArrival) {
  SimProgram sim;  // motors at their typical speed: the lens lags the path
  const Result moved = sim.Ctl({"move", "--zoom", "1000", "--focus", "3000", "--over", "0.4", "--ease", "linear",
                                "--wait"});
  EXPECT_EQ(moved.status, 0) << moved.err;
  const std::vector<std::string> lines = Lines(moved.out);
  ASSERT_GE(lines.size(), 5u) << moved.out;  // a line each 20 ms for at least 0.4 s
  EXPECT_EQ(std::vector<std::string>(lines.end() - 2, lines.end()),
            (std::vector<std::string>{"zoom   1000 (arrived)", "focus  3000 (arrived)"}));
  int zoom = 2049;
  for (std::size_t i = 0; i + 2 < lines.size(); ++i) {
    ASSERT_EQ(lines[i].substr(8, 9), " s  zoom ") << lines[i];
    const int now = std::stoi(lines[i].substr(17));
    EXPECT_LE(now, zoom) << lines[i];  // on the way down, never back
    EXPECT_GE(now, 1000) << lines[i];
    EXPECT_NE(lines[i].find("  focus "), std::string::npos) << lines[i];
    zoom = now;
  }
  EXPECT_EQ(sim.Ask("state").substr(0, 33), "ok iris 2048 zoom 1000 focus 3000");

  // Without --wait it ends with the path; the move of no time is one move per axis.
  EXPECT_EQ(sim.Ask("clearframes"), "ok");
  const Result at_once = sim.Ctl({"--json", "move", "--iris", "16"});
  EXPECT_EQ(at_once.status, 0) << at_once.err;
  EXPECT_EQ(PythonSays(at_once.out, "d"), "{'iris': {'target': 16}, 'errors': {}}\n");
  const std::string frames = sim.HostFrames();
  EXPECT_EQ(frames.rfind("02200100dd", 0), 0u) << frames;
  EXPECT_EQ(frames.find("0220"), frames.rfind("0220")) << frames;  // the iris moved once
}

TEST(Tools, StreamPrintsSamplesForPlotting) {
  SimProgram sim({"--speed", "0"});
  EXPECT_EQ(sim.Ask("state zoom 1000"), "ok");
  const Result csv = sim.Ctl({"stream", "--csv", "--count", "5", "--axes", "zoom,focus", "--hz", "200"});
  EXPECT_EQ(csv.status, 0) << csv.err;
  const std::vector<std::string> lines = Lines(csv.out);
  ASSERT_EQ(lines.size(), 6u) << csv.out;
  EXPECT_EQ(lines[0], "time,sequence,fresh,iris,zoom,focus");
  double previous = -1;
  for (std::size_t i = 1; i < lines.size(); ++i) {
    const std::size_t comma = lines[i].find(',');
    const double time = std::stod(lines[i].substr(0, comma));
    EXPECT_GE(time, previous) << lines[i];
    EXPECT_LT(time, 60.0) << lines[i];  // seconds since the stream's start
    previous = time;
    EXPECT_EQ(lines[i].substr(comma), "," + std::to_string(i) + ",6,,1000,2048") << lines[i];
  }

  // A silent lens: the samples go on, their axes "failed"; --json carries the same.
  EXPECT_EQ(sim.Ask("line silent 1"), "ok");
  const Result silent = sim.Ctl({"stream", "--count", "1", "--axes", "zoom"});
  EXPECT_EQ(silent.status, 0) << silent.err;
  ASSERT_GT(silent.out.size(), 15u) << silent.out;
  EXPECT_EQ(silent.out.substr(14), "sequence 1  fresh 0  zoom failed\n");
  EXPECT_EQ(sim.Ask("line silent 0"), "ok");
  const Result json = sim.Ctl({"--json", "stream", "--count", "2"});
  EXPECT_EQ(json.status, 0) << json.err;
  const std::vector<std::string> objects = Lines(json.out);
  ASSERT_EQ(objects.size(), 2u) << json.out;
  EXPECT_EQ(PythonSays(objects[1], "d['sequence'], d['fresh'], d['iris'], d['zoom'], d['focus'], d['errors']"),
            "2 7 2048 1000 2048 {}\n");
}

TEST(Tools, JsonOutputParses) {
  SimProgram sim({"--speed", "0"});
  const Result status = sim.Ctl({"--json", "status"});
  EXPECT_EQ(status.status, 0);
  EXPECT_EQ(PythonSays(status.out, "d['port'], d['name'], d['aperture'], d['zoom'], d['switch_3'], d['errors']"),
            sim.Lens() + " Simulated Zoom Lens 10-200 Aperture: f/2.00 2048 {'value': 15, 'text': 'Mag x1 [ff]'} {}\n");
  sim.Ask("fault 31 badsum");
  const Result failed = sim.Ctl({"get", "zoom", "--json"});
  EXPECT_EQ(failed.status, 1);
  EXPECT_EQ(PythonSays(failed.out, "d"), "{'zoom': None, 'errors': {'zoom': {'code': 12, 'text': 'Bad Checksum'}}}\n");
}

TEST(Tools, FailuresShowTheLibrarysResultText) {
  SimProgram sim({"--speed", "0"});
  const struct {
    const char* fault;
    std::vector<std::string> args;
    const char* expected;
  } cases[] = {
      {"fault 31 silent 1", {"get", "zoom"}, "zoom  failed: Timeout\n"},
      {"fault 30 wrong 31 1", {"get", "iris"}, "iris  failed: Wrong Reply Code\n"},
      {"fault 32 short 2 1", {"get", "focus"}, "focus  failed: Reply Too Short\n"},
      {"fault 43 raw 0043bf 1", {"mag", "on"}, "2x magnifier  failed: Bad Checksum\n"},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(sim.Ask(c.fault), "ok");
    const Result result = sim.Ctl(c.args);
    EXPECT_EQ(result.status, 1) << c.fault;
    EXPECT_EQ(result.out, c.expected);
  }
  sim.Ask("fault 16 badsum");  // the optics are read as one, fail as one; the rest is still shown
  const Result status = sim.Ctl({"status"});
  EXPECT_EQ(status.status, 1);
  EXPECT_NE(status.out.find("\nfocal length  failed: Bad Checksum\nMOD           failed: Bad Checksum\n"
                            "aperture      failed: Bad Checksum\niris          2048\n"),
            std::string::npos)
      << status.out;
  sim.Ask("line silent 1");  // no lens: status stops at the handshake
  const Result silent = sim.Ctl({"status"});
  EXPECT_EQ(silent.status, 1);
  EXPECT_EQ(silent.out, "port     " + sim.Lens() + "\nconnect  failed: Timeout\n");
}

TEST(Tools, BadInputGetsOneLineAndLeavesTheLensAlone) {
  SimProgram sim;
  const std::vector<std::pair<std::vector<std::string>, std::string>> cases = {
      {{"frobnicate"}, "unknown command \"frobnicate\"; commands: status, get, set, switch, mag, autoiris, watch, move, stream (see --help)"},
      {{"set", "zoom", "4096"}, "position \"4096\" is out of range; allowed: 0..4095"},
      {{"set", "iris", "-5"}, "position \"-5\" is out of range; allowed: 0..4095"},
      {{"set", "focus", "far"}, "position \"far\" is not a number; allowed: 0..4095"},
      {{"get", "nose"}, "unknown lens part \"nose\"; allowed: iris, zoom, focus"},
      {{"switch", "1"}, "there is no switch \"1\"; allowed: 0, 2, 3, 4"},
      {{"switch", "2", "256"}, "byte \"256\" is out of range; allowed: 0..255 or 0x00..0xff"},
      {{"switch", "2", "0x100"}, "byte \"0x100\" is out of range; allowed: 0..255 or 0x00..0xff"},
      {{"mag", "maybe"}, "\"maybe\" is neither on nor off; allowed: on, off"},
      {{"get"}, "too few arguments for get; usage: kelvaroctl get iris|zoom|focus"},
      {{"get", "zoom", "--wait"}, "--wait applies only to set and move"},
      {{"--verbose", "status"},
       "unknown option \"--verbose\"; options: --port DEVICE, --simulate, --json, --wait, --framing frame|timed, "
       "--rate HZ, --help"},
      {{"--framing", "fast", "status"}, "unknown framing \"fast\"; allowed: frame, timed"},
      {{"status", "--framing="}, "--framing needs frame or timed"},
      {{"watch", "--rate", "0"}, "rate \"0\" is out of range; allowed: 0.1..100 (reads per second)"},
      {{"watch", "--rate=100.5"}, "rate \"100.5\" is out of range; allowed: 0.1..100 (reads per second)"},
      {{"watch", "--rate", "-2"}, "rate \"-2\" is out of range; allowed: 0.1..100 (reads per second)"},
      {{"watch", "--rate", "1e2"}, "rate \"1e2\" is not a number; allowed: 0.1..100 (reads per second)"},
      {{"watch", "--rate"}, "--rate needs reads per second, e.g. --rate 10"},
      {{"get", "zoom", "--rate", "5"}, "--rate applies only to watch"},
      {{"move"}, "move needs a target: --iris N, --zoom N or --focus N (0..4095)"},
      {{"move", "--wait", "--over", "2"}, "move needs a target: --iris N, --zoom N or --focus N (0..4095)"},
      {{"move", "--zoom", "4096"}, "position \"4096\" is out of range; allowed: 0..4095"},
      {{"move", "--focus=-1"}, "position \"-1\" is out of range; allowed: 0..4095"},
      {{"move", "--zoom", "1", "--zoom", "2"}, "--zoom is given twice; give it once"},
      {{"move", "--iris"}, "--iris needs a position, e.g. --iris 1000"},
      {{"move", "--zoom", "1", "--over", "600.5"}, "--over \"600.5\" is out of range; allowed: 0..600 (seconds)"},
      {{"move", "--zoom", "1", "--over", "soon"}, "--over \"soon\" is not a number; allowed: 0..600 (seconds)"},
      {{"move", "--zoom", "1", "--ease", "cubic"}, "unknown easing \"cubic\"; allowed: linear, in-out"},
      {{"move", "zoom", "1"}, "too many arguments for move; usage: kelvaroctl move [--iris N] [--zoom N] [--focus N] "
                              "[--over SECONDS] [--ease linear|in-out] [--wait]"},
      {{"stream", "--hz", "1000.5"},
       "--hz \"1000.5\" is out of range; allowed: 0..1000 (samples per second, 0 as fast as the line goes)"},
      {{"stream", "--axes", "zoom,nose"}, "unknown lens part \"nose\"; allowed: iris, zoom, focus"},
      {{"stream", "--axes=zoom,,focus"}, "unknown lens part \"\"; allowed: iris, zoom, focus"},
      {{"stream", "--axes="}, "--axes needs lens parts, e.g. --axes zoom,focus"},
      {{"stream", "--count", "0"}, "count \"0\" is out of range; allowed: 1..1000000"},
      {{"stream", "--csv", "--json"}, "--csv and --json exclude each other; give one"},
      {{"stream", "--rate", "5"}, "--rate applies only to watch"},
      {{"status", "--csv"}, "--csv applies only to stream"},
      {{"set", "zoom", "1", "--over", "2"}, "--over applies only to move"},
  };
  for (const auto& [args, message] : cases) {
    const Result result = sim.Ctl(args);
    EXPECT_EQ(result.status, 2) << message;
    EXPECT_EQ(result.err, "kelvaroctl: " + message + "\n");
    EXPECT_EQ(result.out, "");
  }
  EXPECT_EQ(sim.Ask("frames"), "ok");  // the port was never opened

  const Result no_port = RunProgram({kCtl, "get", "zoom"});
  EXPECT_EQ(no_port.status, 2);
  EXPECT_EQ(no_port.err, "kelvaroctl: no port given; use --port DEVICE (e.g. /dev/ttyUSB0) or --simulate\n");
  const std::string absent = sim.Dir() + "/absent";
  const Result missing = RunProgram({kCtl, "--port", absent, "get", "zoom"});
  EXPECT_EQ(missing.status, 1);
  EXPECT_EQ(missing.err, "kelvaroctl: cannot open " + absent +
                             ": Unable To Open Port (the device must exist and not be in use by another program)\n");
  const Result refused = RunProgram({kCtl, "--port", "tcp://127.0.0.1:1", "get", "zoom"});  // nothing listens
  EXPECT_EQ(refused.status, 1);
  EXPECT_EQ(refused.err, "kelvaroctl: cannot open tcp://127.0.0.1:1: Unable To Open Port (the server must be up and "
                         "listening on that port)\n");
}

TEST(Tools, WatchFollowsTheLensAndHoldsThePortUntilCtrlC) {
  SimProgram sim({"--speed", "0"});
  Process watch({kCtl, "--port", sim.Lens(), "--json", "watch", "--rate", "25"});
  const auto wait_for = [&](const std::string& text) {
    std::optional<std::string> line;
    while ((line = watch.ReadLine(5000)) && line->find(text) == std::string::npos) {
    }
    return line;
  };
  ASSERT_TRUE(wait_for("\"connected\": false")) << watch.Out();
  ASSERT_TRUE(wait_for("\"connected\": true, \"iris\": 2048, \"zoom\": 2048, \"focus\": 2048")) << watch.Out();

  const Result busy = sim.Ctl({"get", "zoom"});
  EXPECT_EQ(busy.status, 1);
  EXPECT_EQ(busy.err, "kelvaroctl: cannot open " + sim.Lens() +
                          ": Unable To Open Port (the device must exist and not be in use by another program)\n");

  EXPECT_EQ(sim.Ask("state zoom 100"), "ok");
  const std::optional<std::string> moved = wait_for("\"zoom\": 100,");
  ASSERT_TRUE(moved) << watch.Out();
  EXPECT_EQ(PythonSays(*moved, "d['connected'], d['iris'], d['zoom'], d['errors'], d['time'] > 0"), "True 2048 100 {} True\n");

  EXPECT_EQ(watch.Wait(10000, SIGINT), 0);
  EXPECT_EQ(sim.Ctl({"get", "zoom"}).out, "zoom  100\n");  // the port was let go, not left exclusive
}

// The lens unplugged under a running watch and plugged back in behind the same link: watch
// says it went and came back, and goes on with the positions. Twice, once per output form.
TEST(Tools, WatchSeesAnUnpluggedLensGoAndComeBack) {
  SimProgram sim({"--speed", "0"});
  for (const bool json : {false, true}) {
    SCOPED_TRACE(json ? "--json" : "text");
    std::vector<std::string> args = {kCtl, "--port", sim.Lens(), "watch", "--rate", "20"};
    if (json) args.insert(args.begin() + 3, "--json");
    Process watch(args);
    // Lines until one that has `text`, within ms.
    const auto within = [&](int ms, const std::string& text) {
      const auto limit = std::chrono::steady_clock::now() + std::chrono::milliseconds(ms);
      for (;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(limit - std::chrono::steady_clock::now());
        const std::optional<std::string> line = watch.ReadLine(static_cast<int>(std::max<long long>(left.count(), 0)));
        if (!line) return false;
        if (line->find(text) != std::string::npos) return true;
      }
    };
    ASSERT_TRUE(within(5000, json ? "\"connected\": true" : "  connected  ")) << watch.Out() << watch.Err();
    EXPECT_EQ(sim.Ask("unplug"), "ok");
    EXPECT_TRUE(within(2500, json ? "\"event\": \"gone\"" : "  lens gone  ")) << watch.Out();  // the next check
    const std::string replugged = sim.Ask("replug");
    EXPECT_EQ(replugged.rfind("ok /dev/", 0), 0u) << replugged;
    // Reopened and connected by the next check, two at the most.
    EXPECT_TRUE(within(3000, json ? "\"event\": \"back\"" : "  lens back  ")) << watch.Out();
    EXPECT_EQ(watch.Wait(10000, SIGINT), 0) << watch.Err();

    // The reads that failed between the unplug and the check aside, a line per change.
    std::istringstream out(watch.Out());
    std::vector<std::string> lines;
    for (std::string line; std::getline(out, line);) lines.push_back(line);
    ASSERT_FALSE(lines.empty());
    if (json) {
      std::string array;
      for (const std::string& line : lines) array += (array.empty() ? "[" : ", ") + line;
      EXPECT_EQ(PythonSays(array + "]",
                           "[(x.get('event'), x['connected'], x.get('zoom')) for x in d if not x['errors']], "
                           "[x['time'] for x in d] == sorted(x['time'] for x in d)"),
                "[(None, False, None), (None, True, 2048), ('gone', False, None), ('back', True, 2048)] True\n");
      continue;
    }
    EXPECT_EQ(lines[0], "watching " + sim.Lens() + " (Ctrl-C ends)");
    std::vector<std::string> shown;
    for (std::size_t i = 1; i < lines.size(); ++i) {
      ASSERT_GT(lines[i].size(), 12u) << lines[i];
      EXPECT_EQ(lines[i].substr(8, 4), " s  ") << lines[i];  // "%8.3f s", then the items
      const std::string items = lines[i].substr(12);
      if (items.find(" failed") == std::string::npos) {
        shown.push_back(items);
      } else {
        // An axis the stream's sample did not read (the unplug came during its round).
        EXPECT_EQ(items.rfind("connected  iris ", 0), 0u) << items;
        EXPECT_NE(items.find(" failed"), std::string::npos) << items;
      }
    }
    const std::vector<std::string> expected = {"not connected", "connected  iris 2048  zoom 2048  focus 2048",
                                               "lens gone  not connected",
                                               "lens back  connected  iris 2048  zoom 2048  focus 2048"};
    EXPECT_EQ(shown, expected) << watch.Out();
  }
}

TEST(Tools, ControlChannelScriptsTheLens) {
  SimProgram sim({"--speed", "0"});
  EXPECT_EQ(sim.Ask("ping"), "ok pong");
  EXPECT_EQ(sim.Ask("ping\r"), "ok pong");  // a Windows program's CR LF
  EXPECT_EQ(sim.Ask("bogus"), "err unknown command \"bogus\" (try help)");
  EXPECT_EQ(sim.Ask("state switch 1 ff"), "err no switch 1; switches: 0, 2, 3, 4");
  EXPECT_EQ(sim.Ask("fault 31 delay").rfind("err usage: fault CODE", 0), 0u);

  EXPECT_EQ(sim.Ask("clearframes"), "ok");
  EXPECT_EQ(sim.Ctl({"set", "iris", "16"}).status, 0);
  EXPECT_EQ(sim.Ctl({"switch", "4"}).status, 0);
  EXPECT_EQ(sim.HostFrames(), "02200100dd 0054ac");

  EXPECT_EQ(sim.Ask("fault 31 raw 0231800040 1"), "ok");  // a checksum that does not add up, once
  EXPECT_EQ(sim.Ctl({"get", "zoom"}).out, "zoom  failed: Bad Checksum\n");
  EXPECT_EQ(sim.Ctl({"get", "zoom"}).out, "zoom  2048\n");
  EXPECT_EQ(sim.Ask("waitframes 1000 50").rfind("err timeout ", 0), 0u);

  // Unplugged: an open host sees hang-up and the device is gone. Replugged: a new device
  // behind a new link of the same name (the kernel may hand out the old pts number again).
  const int host = OpenRaw(sim.Lens());
  ASSERT_GE(host, 0);
  struct stat plugged {};
  ASSERT_EQ(::lstat(sim.Lens().c_str(), &plugged), 0);
  EXPECT_EQ(sim.Ask("unplug"), "ok");
  pollfd hung{host, POLLIN, 0};
  EXPECT_EQ(::poll(&hung, 1, 2000), 1);
  EXPECT_TRUE(hung.revents & POLLHUP) << hung.revents;
  ::close(host);
  EXPECT_EQ(OpenRaw(sim.Lens()), -1);
  const std::string replugged = sim.Ask("replug");
  ASSERT_EQ(replugged.rfind("ok /dev/", 0), 0u) << replugged;
  EXPECT_EQ(LinkTarget(sim.Lens()), replugged.substr(3));
  struct stat relinked {};
  ASSERT_EQ(::lstat(sim.Lens().c_str(), &relinked), 0);
  EXPECT_NE(relinked.st_ino, plugged.st_ino);
  const int again = OpenRaw(sim.Lens());
  ASSERT_GE(again, 0);
  const unsigned char handshake[] = {0x00, 0x01, 0xFF};
  EXPECT_EQ(::write(again, handshake, sizeof handshake), 3);
  EXPECT_EQ(ReadHex(again, 3), "0001ff");
  ::close(again);

  EXPECT_EQ(sim.Ask("quit"), "ok bye");
  EXPECT_EQ(sim.Stop(0), 0);
  EXPECT_FALSE(Exists(sim.Lens()));  // the links and the ready file go with it
  EXPECT_FALSE(Exists(sim.Dir() + "/control"));
  EXPECT_FALSE(Exists(sim.ReadyFile()));
}

TEST(Tools, SimulatorOptionsFaultsAndTrace) {
  const Result help = RunProgram({kSim, "--help"});
  EXPECT_EQ(help.status, 0);
  EXPECT_EQ(help.out.rfind("Usage: kelvaro-lens-sim", 0), 0u);
  const Result bad = RunProgram({kSim, "--slow", "soon"});
  EXPECT_EQ(bad.status, 2);
  EXPECT_EQ(bad.err, "kelvaro-lens-sim: --slow \"soon\" is not allowed; expected milliseconds, 0 to 60000\n");

  const std::vector<std::pair<std::vector<std::string>, std::string>> faults = {
      {{"--silent"}, "zoom  failed: Timeout\n"},
      {{"--slow", "700"}, "zoom  failed: Timeout\n"},
      {{"--noisy", "1"}, "zoom  failed: Bad Checksum\n"},
  };
  for (const auto& [options, expected] : faults) {
    SimProgram sim(options);
    EXPECT_EQ(sim.Ctl({"get", "zoom"}).out, expected) << options[0];
  }

  SimProgram traced({"--trace"});
  std::ifstream ready(traced.ReadyFile());
  std::string first;
  std::getline(ready, first);
  EXPECT_EQ(first.rfind("lens /dev/", 0), 0u) << first;
  EXPECT_EQ(traced.Ctl({"get", "zoom"}).status, 0);
  EXPECT_EQ(traced.Stop(SIGINT), 0);
  EXPECT_NE(traced.Err().find(" host > lens 00 31 CF\n"), std::string::npos) << traced.Err();
  EXPECT_NE(traced.Err().find(" lens > host 02 31 80 00 4D\n"), std::string::npos) << traced.Err();
  EXPECT_FALSE(Exists(traced.Lens()));
}

// Seconds on CLOCK_MONOTONIC, the clock of the simulator's reply log.
double MonotonicSeconds() {
  timespec now{};
  ::clock_gettime(CLOCK_MONOTONIC, &now);
  return static_cast<double>(now.tv_sec) + static_cast<double>(now.tv_nsec) * 1e-9;
}

// The lines of the reply log as they are written, waiting up to a second for the count.
std::vector<std::string> LogLines(const std::string& path, std::size_t count) {
  std::vector<std::string> lines;
  for (int i = 0; i < 100 && lines.size() < count; ++i) {
    if (i > 0) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    lines.clear();
    std::ifstream log(path);
    for (std::string line; std::getline(log, line);) lines.push_back(line);
  }
  return lines;
}

// At 9600 baud with --slow 20, a query and its reply take 8 byte times (8.3 ms) and the
// delay; the reply log says when each reply's last byte left, while the simulator runs.
TEST(Tools, SimulatorPacesAtBaudAndLogsReplies) {
  const Result help = RunProgram({kSim, "--help"});
  EXPECT_NE(help.out.find("\n  --baud N "), std::string::npos) << help.out;
  EXPECT_NE(help.out.find("\n  --reply-log FILE "), std::string::npos) << help.out;
  const std::vector<std::pair<std::vector<std::string>, std::pair<int, std::string>>> refused = {
      {{"--baud", "fast"}, {2, "--baud \"fast\" is not allowed; expected bits a second, 0 to 4000000"}},
      {{"--baud", "9600.5"}, {2, "--baud \"9600.5\" is not a whole number; expected bits a second, 0 to 4000000"}},
      {{"--reply-log"}, {2, "--reply-log needs a value"}},
      {{"--reply-log", "/nonexistent/replies"}, {1, "cannot write /nonexistent/replies: No such file or directory"}},
  };
  for (const auto& [args, expected] : refused) {
    std::vector<std::string> argv = {kSim};
    argv.insert(argv.end(), args.begin(), args.end());
    const Result result = RunProgram(argv);
    EXPECT_EQ(result.status, expected.first) << args[0];
    EXPECT_EQ(result.err, "kelvaro-lens-sim: " + expected.second + "\n");
  }

  char dir[] = "/tmp/kelvaro-replies-XXXXXX";
  ASSERT_NE(::mkdtemp(dir), nullptr);
  const std::string log = std::string(dir) + "/replies";
  {
    SimProgram sim({"--speed", "0", "--baud", "9600", "--slow", "20", "--reply-log", log});
    EXPECT_EQ(sim.Ask("line"), "ok silent 0 delay 20 noise 0 baud 9600");
    const int host = OpenRaw(sim.Lens());
    ASSERT_GE(host, 0);
    const double byte_time = 10.0 / 9600;
    const unsigned char query[] = {0x00, 0x31, 0xCF};
    const double sent = MonotonicSeconds();
    ASSERT_EQ(::write(host, query, sizeof query), 3);
    EXPECT_EQ(ReadHex(host, 5), "023180004d");
    const double received = MonotonicSeconds();
    ::close(host);
    EXPECT_GE(received - sent, 8 * byte_time * 0.999 + 0.020);

    const std::vector<std::string> lines = LogLines(log, 1);
    ASSERT_EQ(lines.size(), 1u);
    double left = 0;
    char code[3] = {};
    ASSERT_EQ(std::sscanf(lines[0].c_str(), "%lf %2s", &left, code), 2) << lines[0];
    EXPECT_EQ(std::string(code), "31");
    EXPECT_GE(left, sent + 8 * byte_time * 0.999 + 0.020) << std::fixed << left << " sent " << sent;
    EXPECT_LT(left, received + 1.0) << std::fixed << left << " received " << received;

    // The library copes with the slow line; back at full speed the log goes on.
    EXPECT_EQ(sim.Ctl({"get", "zoom"}).out, "zoom  2048\n");
    EXPECT_EQ(sim.Ask("line baud 0"), "ok");
    EXPECT_EQ(sim.Ask("line delay 0"), "ok");
    EXPECT_EQ(sim.Ask("line"), "ok silent 0 delay 0 noise 0 baud 0");
    EXPECT_EQ(sim.Ctl({"get", "focus"}).out, "focus  2048\n");
    const std::vector<std::string> after = LogLines(log, 3);
    ASSERT_GE(after.size(), 3u);
    EXPECT_NE(std::find_if(after.begin() + 1, after.end(), [](const std::string& line) {
                return line.size() > 3 && line.compare(line.size() - 3, 3, " 31") == 0;
              }), after.end());
    EXPECT_EQ(after.back().substr(after.back().size() - 3), " 32");
  }
  ::unlink(log.c_str());
  ::rmdir(dir);
}

// A connection to the loopback port of "tcp://127.0.0.1:PORT"; -1 when refused.
int ConnectTo(const std::string& url) {
  sockaddr_in address{};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(static_cast<std::uint16_t>(std::stoi(url.substr(url.rfind(':') + 1))));
  const int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (fd >= 0 && ::connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0) return fd;
  if (fd >= 0) ::close(fd);
  return -1;
}

// The simulator on TCP ports, its lens and its control channel, as in the README.
TEST(Tools, SimulatorServesTcpOneClientAtATime) {
  Process sim({kSim, "--tcp", "127.0.0.1:0", "--control-tcp", "127.0.0.1:0", "--speed", "0", "--name",
               "Network Zoom 9-90"});
  const std::optional<std::string> url = sim.ReadLine(10000);
  ASSERT_TRUE(url) << sim.Err();
  ASSERT_EQ(url->rfind("tcp://127.0.0.1:", 0), 0u) << *url;
  EXPECT_NE(*url, "tcp://127.0.0.1:0");  // the port it got, not the one asked for
  const std::optional<std::string> control_line = sim.ReadLine(10000);
  ASSERT_TRUE(control_line && control_line->rfind("control: tcp://127.0.0.1:", 0) == 0) << sim.Err();
  const std::string control_url = control_line->substr(9);
  EXPECT_EQ(sim.ReadLine(10000).value_or(""), "ready");

  // The same status as on a pseudo-terminal, less the port line.
  SimProgram pty({"--speed", "0", "--name", "Network Zoom 9-90"});
  const Result direct = pty.Ctl({"status"});
  const Result status = RunProgram({kCtl, "--port", *url, "status"});
  EXPECT_EQ(status.status, 0) << status.err;
  EXPECT_EQ(status.out.rfind("port          " + *url + "\n", 0), 0u) << status.out;
  EXPECT_EQ(status.out.substr(status.out.find('\n')), direct.out.substr(direct.out.find('\n')));

  // A second client waits, unanswered, until the first one leaves.
  const int first = ConnectTo(*url);
  const int second = ConnectTo(*url);
  ASSERT_GE(first, 0);
  ASSERT_GE(second, 0);
  const unsigned char handshake[] = {0x00, 0x01, 0xFF};
  EXPECT_EQ(::write(second, handshake, sizeof handshake), 3);
  EXPECT_EQ(::write(first, handshake, sizeof handshake), 3);
  EXPECT_EQ(ReadHex(first, 3), "0001ff");
  pollfd waiting{second, POLLIN, 0};
  EXPECT_EQ(::poll(&waiting, 1, 300), 0);
  ::close(first);
  EXPECT_EQ(ReadHex(second, 3), "0001ff");
  ::close(second);

  // The control channel on its own port: scripts the lens, unplugs it from its port and
  // plugs it back in at the same one, and ends the program.
  const int control = ConnectTo(control_url);
  ASSERT_GE(control, 0);
  const auto ask = [control](const std::string& command) {
    const std::string line = command + "\r\n";
    if (::write(control, line.data(), line.size()) != static_cast<ssize_t>(line.size())) return std::string("(write failed)");
    std::string answer;
    char c = 0;
    pollfd p{control, POLLIN, 0};
    while (::poll(&p, 1, 3000) == 1 && ::read(control, &c, 1) == 1 && c != '\n') answer += c;
    return answer;
  };
  EXPECT_EQ(ask("state zoom 100"), "ok");
  EXPECT_EQ(RunProgram({kCtl, "--port", *url, "get", "zoom"}).out, "zoom  100\n");
  EXPECT_EQ(ask("unplug"), "ok");
  const Result gone = RunProgram({kCtl, "--port", *url, "get", "zoom"});
  EXPECT_EQ(gone.status, 1);
  EXPECT_EQ(gone.err, "kelvaroctl: cannot open " + *url +
                          ": Unable To Open Port (the server must be up and listening on that port)\n");
  EXPECT_EQ(ask("replug"), "ok " + *url);
  EXPECT_EQ(RunProgram({kCtl, "--port", *url, "--json", "get", "zoom"}).out, "{\"zoom\": 100, \"errors\": {}}\n");
  EXPECT_EQ(ask("quit"), "ok bye");
  ::close(control);
  EXPECT_EQ(sim.Wait(10000), 0);

  // Bad TCP options: one line and status 2, as for any other option.
  const std::vector<std::pair<std::vector<std::string>, std::string>> bad = {
      {{"--tcp", "4001"}, "--tcp \"4001\" is not HOST:PORT; expected HOST:PORT, e.g. 127.0.0.1:4001"},
      {{"--tcp", ":4001"}, "--tcp \":4001\" has no host; expected HOST:PORT, e.g. 127.0.0.1:4001"},
      {{"--control-tcp", "127.0.0.1:"}, "--control-tcp \"127.0.0.1:\" is not HOST:PORT; expected HOST:PORT, e.g. 127.0.0.1:4001"},
      {{"--tcp", "127.0.0.1:0", "--link", "/tmp/lens"}, "--link names a pseudo-terminal; not with --tcp"},
  };
  for (const auto& [args, message] : bad) {
    std::vector<std::string> argv = {kSim};
    argv.insert(argv.end(), args.begin(), args.end());
    const Result result = RunProgram(argv);
    EXPECT_EQ(result.status, 2) << args[0];
    EXPECT_EQ(result.err, "kelvaro-lens-sim: " + message + "\n");
  }
}

TEST(Tools, SimulateAndHelpNeedNoLens) {
  const Result zoom = RunProgram({kCtl, "--simulate", "get", "zoom"});
  EXPECT_EQ(zoom.status, 0) << zoom.err;
  EXPECT_EQ(zoom.out, "zoom  2048\n");
  const Result help = RunProgram({kCtl, "switch", "--help"});
  EXPECT_EQ(help.status, 0);
  EXPECT_EQ(help.out.rfind("Usage: kelvaroctl [--port DEVICE | --simulate] [--json] [--framing frame|timed] "
                           "switch [0|2|3|4 [BYTE]]\n", 0),
            0u);
}

}  // namespace
}  // namespace tools_test
