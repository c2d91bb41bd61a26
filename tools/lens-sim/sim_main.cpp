// kelvaro-lens-sim: the simulated lens as a program, for trying a host without a lens.
#ifndef _WIN32
#include <sys/stat.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <memory>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include "control.h"
#include "lens_sim.h"
#include "line.h"
#include "reply_clock.h"
#include "stop.h"

namespace {

constexpr const char* kProgram = "kelvaro-lens-sim";

constexpr const char* kUsage =
    "Usage: kelvaro-lens-sim [options]\n"
    "Serves a simulated zoom lens on a pseudo-terminal (Linux) or a TCP port until Ctrl-C\n"
    "(or SIGTERM). Prints where it serves, then \"ready\", on standard output; with --tcp\n"
    "the first line is the lens's port name, tcp://HOST:PORT.\n"
    "\n"
    "  --tcp HOST:PORT      serve the lens as a raw byte stream on this TCP port instead,\n"
    "                       one client at a time (port 0: a free one); needed on Windows\n"
    "  --control-tcp HOST:PORT  serve the control channel on this TCP port\n"
    "  --link PATH          make PATH a symlink to the lens's device (removed on exit)\n"
    "  --control-link PATH  serve the control channel on a second pseudo-terminal, linked\n"
    "                       as PATH (text commands, one per line; send \"help\")\n"
    "  --ready-file PATH    write PATH once the devices and links are up (removed on exit);\n"
    "                       with --tcp its first line is tcp://HOST:PORT\n"
    "  --name TEXT          the lens's name, 1 to 146 characters\n"
    "                       (default \"Simulated Zoom Lens 10-200\")\n"
    "  --wide MM            shortest focal length in millimetres (default 10)\n"
    "  --tele MM            longest focal length in millimetres (default 200)\n"
    "  --mod M              minimum object distance in metres (default 0.9)\n"
    "  --aperture F         maximum aperture as an f-number, over 1 up to 256 (default 2)\n"
    "  --speed N            motors travel N positions a second; 0 moves at once (default 1500)\n"
    "  --silent             answer nothing\n"
    "  --slow MS            answer every request MS milliseconds late\n"
    "  --baud N             take requests and send replies as slowly as a serial line at N\n"
    "                       baud, 8N1 (a 3-byte request and its 5-byte reply: 2.08 ms at\n"
    "                       38400); the delay of --slow adds to it (default 0: as fast as\n"
    "                       the line goes)\n"
    "  --noisy RATE         a wrong checksum on that share (0 to 1) of the replies\n"
    "  --seed N             seed of --noisy, to repeat a run (default 1)\n"
    "  --trace              log every frame in hex, both ways, on standard error\n"
    "  --reply-log FILE     write a line to FILE as each reply's last byte leaves: the\n"
    "                       monotonic clock's seconds and the function code in hex,\n"
    "                       e.g. \"12345.678901234 31\"\n"
    "  --help               this text\n";

struct Options {
  std::optional<lenssim::TcpAddress> tcp;
  std::optional<lenssim::TcpAddress> control_tcp;
  std::string link;
  std::string control_link;
  std::string ready_file;
  lenssim::LensState lens;
  lenssim::LineFaults line;
  int baud = 0;
  bool trace = false;
  std::string reply_log;
};

// A bad command line: the message, and the program exits with status 2.
struct UsageError {
  std::string what;
};

// A number within [low, high] (or (low, high] when the low end is excluded); `allowed` says so.
double Number(const std::string& option, const std::string& text, double low, double high,
              const char* allowed, bool low_excluded = false) {
  char* end = nullptr;
  const double value = std::strtod(text.c_str(), &end);
  const bool above_low = low_excluded ? value > low : value >= low;
  if (text.empty() || *end != '\0' || !above_low || !(value <= high)) {
    throw UsageError{option + " \"" + text + "\" is not allowed; expected " + allowed};
  }
  return value;
}

int Integer(const std::string& option, const std::string& text, int low, int high, const char* allowed) {
  const double value = Number(option, text, low, high, allowed);
  if (value != std::floor(value)) {
    throw UsageError{option + " \"" + text + "\" is not a whole number; expected " + allowed};
  }
  return static_cast<int>(value);
}

// The lens's scaled number nearest `value`, with the finest exponent that holds it.
std::uint16_t Scaled(double value) {
  for (int exponent = -8; exponent <= 7; ++exponent) {
    const long mantissa = std::lround(value / std::pow(10.0, exponent));
    if (mantissa <= 4095) return lenssim::EncodeScaled(static_cast<int>(mantissa), exponent);
  }
  return lenssim::EncodeScaled(4095, 7);
}

// The aperture code of an f-number: F = 2 ^ (8 x (1 - v / 65536)).
std::uint16_t ApertureCode(double f_number) {
  const double v = 65536.0 * (1.0 - std::log2(f_number) / 8.0);
  return static_cast<std::uint16_t>(std::min(65535.0, std::max(0.0, std::round(v))));
}

lenssim::TcpAddress Address(const std::string& option, const std::string& text) {
  try {
    return lenssim::ParseTcpAddress(text);
  } catch (const std::invalid_argument& error) {
    throw UsageError{option + " " + error.what() + "; expected HOST:PORT, e.g. 127.0.0.1:4001"};
  }
}

// The options that make pseudo-terminals, which Windows does not have.
void NeedPseudoTerminals(const std::string& option) {
#ifdef _WIN32
  throw UsageError{option + " needs Linux (a pseudo-terminal); on Windows use --tcp HOST:PORT"};
#else
  (void)option;
#endif
}

Options Parse(int argc, char** argv) {
  Options options;
  options.lens.motor_speed = lenssim::kTypicalMotorSpeed;
  const std::vector<std::string> args(argv + 1, argv + argc);
  for (std::size_t i = 0; i < args.size(); ++i) {
    const std::string& option = args[i];
    const auto value = [&]() -> const std::string& {
      if (i + 1 >= args.size()) throw UsageError{option + " needs a value"};
      return args[++i];
    };
    if (option == "--help" || option == "-h") {
      std::fputs(kUsage, stdout);
      std::exit(0);
    } else if (option == "--tcp") {
      options.tcp = Address(option, value());
    } else if (option == "--control-tcp") {
      options.control_tcp = Address(option, value());
    } else if (option == "--link") {
      NeedPseudoTerminals(option);
      options.link = value();
    } else if (option == "--control-link") {
      NeedPseudoTerminals(option);
      options.control_link = value();
    } else if (option == "--ready-file") {
      options.ready_file = value();
    } else if (option == "--name") {
      options.lens.name = value();
      if (options.lens.name.empty() || options.lens.name.size() > 146) {
        throw UsageError{"--name must be 1 to 146 characters"};
      }
    } else if (option == "--wide") {
      options.lens.focal_wide = Scaled(Number(option, value(), 0, 4095e3, "millimetres over 0 up to 4095000", true) / 1000.0);
    } else if (option == "--tele") {
      options.lens.focal_tele = Scaled(Number(option, value(), 0, 4095e3, "millimetres over 0 up to 4095000", true) / 1000.0);
    } else if (option == "--mod") {
      options.lens.mod = Scaled(Number(option, value(), 0, 4095, "metres from 0 to 4095"));
    } else if (option == "--aperture") {
      options.lens.aperture = ApertureCode(Number(option, value(), 1, 256, "an f-number over 1 up to 256", true));
    } else if (option == "--speed") {
      options.lens.motor_speed = Integer(option, value(), 0, 65535, "positions a second, 0 to 65535") * 16;
    } else if (option == "--silent") {
      options.line.silent = true;
    } else if (option == "--slow") {
      options.line.delay_ms = Integer(option, value(), 0, 60000, "milliseconds, 0 to 60000");
    } else if (option == "--noisy") {
      options.line.noise = Number(option, value(), 0, 1, "a share from 0 to 1");
    } else if (option == "--seed") {
      options.line.seed = static_cast<std::uint32_t>(Integer(option, value(), 0, 2000000000, "0 to 2000000000"));
    } else if (option == "--baud") {
      options.baud = Integer(option, value(), 0, lenssim::kMaxBaud, "bits a second, 0 to 4000000");
    } else if (option == "--reply-log") {
      options.reply_log = value();
    } else if (option == "--trace") {
      options.trace = true;
    } else {
      throw UsageError{"unknown option \"" + option + "\" (see --help)"};
    }
  }
  if (options.tcp && !options.link.empty()) throw UsageError{"--link names a pseudo-terminal; not with --tcp"};
  if (options.control_tcp && !options.control_link.empty()) {
    throw UsageError{"--control-link and --control-tcp: one control channel only"};
  }
#ifdef _WIN32
  if (!options.tcp) throw UsageError{"--tcp HOST:PORT is needed on Windows, which has no pseudo-terminal"};
#endif
  return options;
}

#ifndef _WIN32
// A symlink that is ours from creation to removal; it replaces a stale symlink, never a file.
class Link {
 public:
  Link(const std::string& target, const std::string& path) : path_(path) {
    struct stat existing {};
    if (::lstat(path.c_str(), &existing) == 0 && !S_ISLNK(existing.st_mode)) {
      throw std::runtime_error(path + " exists and is not a symlink");
    }
    PointTo(target);
  }
  // Made aside and renamed into place, so whoever opens it never sees it half made: a
  // replugged lens appears behind the same name at once.
  void PointTo(const std::string& target) {
    const std::string aside = path_ + ".new" + std::to_string(::getpid());
    ::unlink(aside.c_str());
    if (::symlink(target.c_str(), aside.c_str()) != 0 || ::rename(aside.c_str(), path_.c_str()) != 0) {
      const std::string why = std::strerror(errno);
      ::unlink(aside.c_str());
      throw std::runtime_error("cannot make the link " + path_ + ": " + why);
    }
    target_ = target;
  }
  ~Link() {
    // Only while it still points where we made it point.
    char buffer[4096];
    const ssize_t n = ::readlink(path_.c_str(), buffer, sizeof buffer - 1);
    if (n >= 0 && std::string(buffer, static_cast<std::size_t>(n)) == target_) ::unlink(path_.c_str());
  }
  Link(const Link&) = delete;
  Link& operator=(const Link&) = delete;

 private:
  std::string target_;
  std::string path_;
};

#endif

// A name of its own beside `path`, to write aside and rename into place.
std::string Aside(const std::string& path) {
  return path + ".new" + std::to_string(std::chrono::steady_clock::now().time_since_epoch().count());
}

class ReadyFile {
 public:
  ReadyFile(const std::string& path, const std::string& contents) : path_(path) {
    const std::string aside = Aside(path);
    std::FILE* file = std::fopen(aside.c_str(), "w");
    bool written = file != nullptr && std::fputs(contents.c_str(), file) >= 0;
    if (file != nullptr && std::fclose(file) != 0) written = false;
#ifdef _WIN32
    std::remove(path.c_str());  // Windows renames only onto a free name
#endif
    if (!written || std::rename(aside.c_str(), path.c_str()) != 0) {
      const std::string why = std::strerror(errno);
      std::remove(aside.c_str());
      throw std::runtime_error("cannot write " + path + ": " + why);
    }
  }
  ~ReadyFile() { std::remove(path_.c_str()); }
  ReadyFile(const ReadyFile&) = delete;
  ReadyFile& operator=(const ReadyFile&) = delete;

 private:
  std::string path_;
};

void TraceFrames(lenssim::Simulator& lens) {
  const auto start = std::chrono::steady_clock::now();
  lens.SetTrace([start](lenssim::Direction direction, const lenssim::Bytes& bytes) {
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::string hex;
    char digits[4];
    for (std::uint8_t b : bytes) {
      std::snprintf(digits, sizeof digits, " %02X", b);
      hex += digits;
    }
    std::fprintf(stderr, "%9.3f %s%s\n", seconds,
                 direction == lenssim::Direction::kToLens ? "host > lens" : "lens > host", hex.c_str());
  });
}

// One line a reply, flushed at once for a reader that follows the file as it grows.
class ReplyLog {
 public:
  explicit ReplyLog(const std::string& path) : file_(std::fopen(path.c_str(), "w")) {
    if (file_ == nullptr) throw std::runtime_error("cannot write " + path + ": " + std::strerror(errno));
  }
  ~ReplyLog() { std::fclose(file_); }
  ReplyLog(const ReplyLog&) = delete;
  ReplyLog& operator=(const ReplyLog&) = delete;

  // On the lens's server thread, right after the reply's last byte was written.
  void Sent(std::uint8_t function) {
    const std::string stamp = lenssim::MonotonicStamp();  // first: the moment is now
    std::fprintf(file_, "%s %02x\n", stamp.c_str(), function);
    std::fflush(file_);
  }

 private:
  std::FILE* file_;
};

int Serve(const Options& options) {
  lenssim::PrepareStop();  // every thread started from here on leaves the stop signals alone

  // Made before the lens, so that it outlasts the thread that writes to it.
  std::optional<ReplyLog> reply_log;
  if (!options.reply_log.empty()) reply_log.emplace(options.reply_log);

  std::unique_ptr<lenssim::Simulator> served;
#ifdef _WIN32
  served = std::make_unique<lenssim::Simulator>(lenssim::TcpLineOpener(*options.tcp));
#else
  served = options.tcp ? std::make_unique<lenssim::Simulator>(lenssim::TcpLineOpener(*options.tcp))
                       : std::make_unique<lenssim::Simulator>();
#endif
  lenssim::Simulator& lens = *served;
  lens.SetState(options.lens);
  lens.SetLineFaults(options.line);
  lens.SetBaud(options.baud);
  if (reply_log) lens.OnReplySent([&reply_log](std::uint8_t function) { reply_log->Sent(function); });
  if (options.trace) TraceFrames(lens);
  std::string ready;
  if (options.tcp) {
    std::printf("%s\n", lens.DevicePath().c_str());
    ready = lens.DevicePath() + "\n";
  } else {
    std::printf("lens: %s\n", lens.DevicePath().c_str());
    ready = "lens " + lens.DevicePath() + "\n";
  }

#ifndef _WIN32
  std::optional<Link> lens_link;
  if (!options.link.empty()) {
    lens_link.emplace(lens.DevicePath(), options.link);
    std::printf("lens link: %s\n", options.link.c_str());
    lens.OnReplug([&lens_link](const std::string& device) {
      try {
        lens_link->PointTo(device);
      } catch (const std::exception& error) {
        std::fprintf(stderr, "%s: %s\n", kProgram, error.what());
      }
    });
  }
#endif
  std::unique_ptr<lenssim::ControlChannel> control;
  if (options.control_tcp) {
    control = std::make_unique<lenssim::ControlChannel>(lens, lenssim::RequestStop,
                                                        lenssim::TcpLineOpener(*options.control_tcp)());
    std::printf("control: %s\n", control->DevicePath().c_str());
    ready += "control " + control->DevicePath() + "\n";
  }
#ifndef _WIN32
  std::optional<Link> control_link;
  if (!options.control_link.empty()) {
    control = std::make_unique<lenssim::ControlChannel>(lens, lenssim::RequestStop);
    control_link.emplace(control->DevicePath(), options.control_link);
    std::printf("control: %s\ncontrol link: %s\n", control->DevicePath().c_str(), options.control_link.c_str());
    ready += "control " + control->DevicePath() + "\n";
  }
#endif
  std::optional<ReadyFile> ready_file;
  if (!options.ready_file.empty()) ready_file.emplace(options.ready_file, ready);
  std::printf("ready\n");
  std::fflush(stdout);

  const int stopped_by = lenssim::WaitForStop();
  if (options.trace) std::fprintf(stderr, "%s: stopping (signal %d)\n", kProgram, stopped_by);
  return 0;
}

}  // namespace

int main(int argc, char** argv) {
  try {
    return Serve(Parse(argc, argv));
  } catch (const UsageError& error) {
    std::fprintf(stderr, "%s: %s\n", kProgram, error.what.c_str());
    return 2;
  } catch (const std::exception& error) {
    std::fprintf(stderr, "%s: %s\n", kProgram, error.what());
    return 1;
  }
}
