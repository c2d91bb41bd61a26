// What one exchange costs: a zoom query (00 31 CF) answered by the simulated lens on a
// pseudo-terminal, through the flat functions, through the handle interface with either
// framing, and through plain poll() loops that read by the same two rules, which show what
// the line and the simulator cost by themselves.
//
// A timed read ends 100 ms after the reply's last byte, so those cases cost about 100 ms
// an exchange whatever the library does; what matters there is the difference to the plain
// loop. A frame-ended read ends with the reply, so those cases show the library's own cost.
//
// The flat functions' once-a-second check sends requests of its own, and a call that comes
// while the check holds the link waits for it. Such exchanges (more requests reached the
// lens than the one measured, since the previous exchange ended) are counted apart.
//
// With ser2net on the machine, the frame-ended query is also timed through it, over tcp://
// and rfc2217://, to show what a serial device server on loopback adds.
//
// Usage: kelvaro_exchange_bench [--quick]   (--quick: a tenth of the exchanges, for a try)
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <poll.h>
#include <termios.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <chrono>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <functional>
#include <map>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

#include "Kelvaro32.h"
#include "bench_stats.h"
#include "kelvaro.h"
#include "lens_sim.h"
#include "ser2net.h"

namespace {

using bench::Percentile;
using bench::Verdict;
using Clock = std::chrono::steady_clock;

// The library's read rule, for the plain loops.
constexpr int kReadTotalMs = 500;
constexpr int kReadGapMs = 100;
constexpr std::size_t kReadCapacity = 149;
constexpr std::uint8_t kZoomQuery[] = {0x00, 0x31, 0xCF};
constexpr std::size_t kZoomReplyBytes = 5;

// A call that meets the check more often than this in a row is given up.
constexpr int kMaxAttempts = 20;

double ThreadCpuUs() {
  timespec now{};
  clock_gettime(CLOCK_THREAD_CPUTIME_ID, &now);
  return static_cast<double>(now.tv_sec) * 1e6 + static_cast<double>(now.tv_nsec) / 1e3;
}

// A simulated lens that counts the requests reaching it.
class Lens {
 public:
  Lens() {
    simulator_.SetTrace([this](lenssim::Direction direction, const lenssim::Bytes&) {
      if (direction == lenssim::Direction::kToLens) requests_.fetch_add(1);
    });
  }
  ~Lens() { simulator_.SetTrace({}); }
  Lens(const Lens&) = delete;
  Lens& operator=(const Lens&) = delete;

  const std::string& Path() const { return simulator_.DevicePath(); }
  std::size_t Requests() const { return requests_.load(); }
  void SilenceZoom() { simulator_.SetFault(0x31, lenssim::Fault::Silent()); }

 private:
  std::atomic<std::size_t> requests_{0};
  lenssim::Simulator simulator_;
};

// The pseudo-terminal opened and set up as the library does it, for the plain loops.
class PlainPort {
 public:
  explicit PlainPort(const std::string& path) : fd_(::open(path.c_str(), O_RDWR | O_NOCTTY | O_NONBLOCK | O_CLOEXEC)) {
    if (fd_ < 0) throw std::runtime_error("cannot open " + path);
    termios settings{};
    settings.c_cflag = CS8 | CREAD | CLOCAL;
    cfsetispeed(&settings, B38400);
    cfsetospeed(&settings, B38400);
    tcsetattr(fd_, TCSANOW, &settings);
  }
  ~PlainPort() { ::close(fd_); }
  PlainPort(const PlainPort&) = delete;
  PlainPort& operator=(const PlainPort&) = delete;

  // One zoom query; 0 when a good 5-byte reply came back, else the library's code for it.
  // `frame_ended`: the read also ends once the bytes so far are one whole frame.
  int Exchange(bool frame_ended) {
    for (std::size_t done = 0; done < sizeof kZoomQuery;) {
      const ssize_t n = ::write(fd_, kZoomQuery + done, sizeof kZoomQuery - done);
      if (n > 0) done += static_cast<std::size_t>(n);
      if (n < 0 && errno != EINTR && errno != EAGAIN) return KELVARO_GENERAL_FAILURE;
    }
    std::uint8_t reply[kReadCapacity];
    const auto start = Clock::now();
    auto gap_end = start + std::chrono::milliseconds(kReadTotalMs);  // until the first byte
    const auto total_end = gap_end;
    std::size_t got = 0;
    while (got < sizeof reply) {
      const auto left = std::min(gap_end, total_end) - Clock::now();
      const int wait = left <= Clock::duration::zero()
                           ? 0
                           : static_cast<int>(std::chrono::ceil<std::chrono::milliseconds>(left).count());
      pollfd entry{fd_, POLLIN, 0};
      const int ready = ::poll(&entry, 1, wait);
      if (ready == 0) break;
      if (ready < 0) {
        if (errno == EINTR) continue;
        break;
      }
      const ssize_t n = ::read(fd_, reply + got, sizeof reply - got);
      if (n > 0) {
        got += static_cast<std::size_t>(n);
        if (frame_ended && IsWholeFrame(reply, got)) break;
        gap_end = Clock::now() + std::chrono::milliseconds(kReadGapMs);
      } else if (n == 0 || (errno != EINTR && errno != EAGAIN)) {
        break;
      }
    }
    if (got == 0) return KELVARO_TIMEOUT;
    if (got != kZoomReplyBytes || Sum(reply, got) != 0) return KELVARO_BAD_CHECKSUM;
    return reply[1] == kZoomQuery[1] ? KELVARO_OK : KELVARO_WRONG_REPLY_CODE;
  }

 private:
  static std::uint8_t Sum(const std::uint8_t* bytes, std::size_t count) {
    unsigned sum = 0;
    for (std::size_t i = 0; i < count; ++i) sum += bytes[i];
    return static_cast<std::uint8_t>(sum);
  }
  static bool IsWholeFrame(const std::uint8_t* bytes, std::size_t count) {
    return count >= 3 && count == std::size_t{bytes[0]} + 3 && Sum(bytes, count) == 0;
  }

  int fd_;
};

// What one case measured, in microseconds.
struct Figures {
  std::vector<double> wall;      // counted exchanges
  std::vector<double> cpu;       // of the calling thread, per counted exchange
  std::vector<double> met_wall;  // exchanges that met the background check
  std::string failure;           // set when an exchange gave another code than expected
};

double Mean(const std::vector<double>& samples) {
  double sum = 0.0;
  for (double sample : samples) sum += sample;
  return samples.empty() ? 0.0 : sum / static_cast<double>(samples.size());
}

// `count` exchanges that met no check (after `warm_up` uncounted ones), and those that did.
Figures Measure(const Lens& lens, int warm_up, int count, int expected, const std::function<int()>& exchange) {
  Figures figures;
  for (int i = 0; i < warm_up; ++i) exchange();
  std::size_t seen = lens.Requests();
  for (int i = 0; i < count; ++i) {
    for (int attempt = 1;; ++attempt) {
      const double cpu_start = ThreadCpuUs();
      const auto start = Clock::now();
      const int code = exchange();
      const auto end = Clock::now();
      const double cpu = ThreadCpuUs() - cpu_start;
      const double wall = std::chrono::duration<double, std::micro>(end - start).count();
      // Counted from the end of the previous exchange: a check that took the link just
      // before this call shows here too.
      const std::size_t now = lens.Requests();
      const bool met = now - seen > 1;
      seen = now;
      if (code != expected) {
        figures.failure = std::string("code ") + std::to_string(code) + " (" + kelvaro_result_text(code) + "), expected " +
                          std::to_string(expected);
        return figures;
      }
      if (!met) {
        figures.wall.push_back(wall);
        figures.cpu.push_back(cpu);
        break;
      }
      figures.met_wall.push_back(wall);
      if (attempt == kMaxAttempts) {
        figures.failure = "every attempt met the background check";
        return figures;
      }
    }
  }
  return figures;
}

struct Case {
  std::string what;
  Figures figures;
};

void PrintRow(char key, const Case& c) {
  const Figures& f = c.figures;
  if (!f.failure.empty()) {
    std::printf("(%c) %-40s FAILED: %s\n", key, c.what.c_str(), f.failure.c_str());
    return;
  }
  char met[48] = "0";
  if (!f.met_wall.empty()) {
    std::snprintf(met, sizeof met, "%zu (median %.3f ms)", f.met_wall.size(), Percentile(f.met_wall, 0.5) / 1e3);
  }
  std::printf("(%c) %-40s %6zu %11.3f %11.3f %10.1f   %s\n", key, c.what.c_str(), f.wall.size(),
              Percentile(f.wall, 0.5) / 1e3, Percentile(f.wall, 0.99) / 1e3, Mean(f.cpu), met);
}

}  // namespace

int main(int argc, char** argv) {
  const bool quick = argc > 1 && std::strcmp(argv[1], "--quick") == 0;
  if (argc > 1 && !quick) {
    std::fprintf(stderr, "usage: kelvaro_exchange_bench [--quick]\n");
    return 2;
  }
  // Timed reads cost ~100 ms each, silent ones 500 ms: the whole run stays near 25 s.
  const int timed = quick ? 5 : 50;
  const int framed = quick ? 300 : 3000;
  const int silent = quick ? 1 : 3;

  std::map<char, Case> cases;
  const auto run = [&](char key, const char* what, const Lens& lens, int warm_up, int count, int expected,
                       const std::function<int()>& exchange) {
    std::fprintf(stderr, "(%c) %s ...\n", key, what);
    cases[key] = {what, Measure(lens, warm_up, count, expected, exchange)};
  };

  try {
    {
      Lens lens;
      PlainPort port(lens.Path());
      run('a', "poll() loop, timed read", lens, 1, timed, KELVARO_OK, [&] { return port.Exchange(false); });
      run('e', "poll() loop, frame-ended read", lens, 50, framed, KELVARO_OK, [&] { return port.Exchange(true); });
    }
    for (const int framing : {KELVARO_FRAMING_TIMED, KELVARO_FRAMING_FRAME}) {
      Lens lens;
      kelvaro_options options{};
      options.framing = framing;
      kelvaro_lens* handle = nullptr;
      const int opened = kelvaro_open(lens.Path().c_str(), &options, &handle);
      if (opened != KELVARO_OK) throw std::runtime_error(std::string("kelvaro_open: ") + kelvaro_result_text(opened));
      unsigned short zoom = 0;
      const auto query = [&] { return kelvaro_position(handle, KELVARO_ZOOM, &zoom); };
      if (framing == KELVARO_FRAMING_TIMED) {
        run('c', "kelvaro_position, KELVARO_FRAMING_TIMED", lens, 1, timed, KELVARO_OK, query);
      } else {
        run('d', "kelvaro_position, KELVARO_FRAMING_FRAME", lens, 50, framed, KELVARO_OK, query);
        lens.SilenceZoom();
        run('g', "kelvaro_position, FRAME, silent lens", lens, 0, silent, KELVARO_TIMEOUT, query);
      }
      kelvaro_close(handle);
    }
    {
      Lens lens;
      lenssim::Ser2net server("ser2net", "/tmp", lens.Path());
      const bool started = server.Start();
      for (const bool telnet : {false, true}) {
        if (!started) break;
        kelvaro_lens* handle = nullptr;
        int opened = KELVARO_UNABLE_TO_OPEN_PORT;
        // ser2net turns a connection away until it has let go of the device after the last.
        for (int attempt = 0; attempt < 20 && opened == KELVARO_UNABLE_TO_OPEN_PORT; ++attempt) {
          if (attempt > 0) std::this_thread::sleep_for(std::chrono::milliseconds(100));
          opened = kelvaro_open(server.Url(telnet).c_str(), nullptr, &handle);
        }
        if (opened != KELVARO_OK) throw std::runtime_error(std::string("kelvaro_open: ") + kelvaro_result_text(opened));
        unsigned short zoom = 0;
        run(telnet ? 'i' : 'h', telnet ? "kelvaro_position, FRAME, rfc2217:// ser2net" : "kelvaro_position, FRAME, tcp:// ser2net",
            lens, 50, framed / 3, KELVARO_OK, [&] { return kelvaro_position(handle, KELVARO_ZOOM, &zoom); });
        kelvaro_close(handle);
      }
    }
    {
      Lens lens;
      InitializeLensControl();  // starts the once-a-second check, which nothing stops
      const int opened = OpenComPort(lens.Path().c_str());
      if (opened != KELVARO_OK) throw std::runtime_error(std::string("OpenComPort: ") + kelvaro_result_text(opened));
      unsigned short zoom = 0;
      const auto query = [&] { return GetLensZoom(&zoom); };
      run('b', "GetLensZoom (flat, with its check)", lens, 1, timed, KELVARO_OK, query);
      lens.SilenceZoom();
      run('f', "GetLensZoom, silent lens", lens, 0, silent, KELVARO_TIMEOUT, query);
      CloseComPort();
    }
  } catch (const std::exception& error) {
    std::fprintf(stderr, "kelvaro_exchange_bench: %s\n", error.what());
    return 1;
  }

  std::printf("Zoom query 00 31 CF against the simulated lens on a pseudo-terminal; %u CPUs.\n",
              std::thread::hardware_concurrency());
  std::printf("Wall times of counted exchanges; CPU of the calling thread; \"met check\": exchanges\n"
              "that met the flat functions' background check, left out of the other figures.\n\n");
  std::printf("    %-40s %6s %11s %11s %10s   %s\n", "", "count", "median ms", "p99 ms", "CPU us", "met check");
  for (const auto& [key, c] : cases) PrintRow(key, c);

  const auto ok = [&](char key) { return cases.count(key) && cases[key].figures.failure.empty(); };
  const auto median = [&](char key) { return Percentile(cases[key].figures.wall, 0.5); };
  const auto cpu = [&](char key) { return Mean(cases[key].figures.cpu); };
  std::printf("\n");
  if (ok('a') && ok('b')) {
    const double wall_extra = (median('b') - median('a')) / 1e3;
    const double cpu_extra = cpu('b') - cpu('a');
    std::printf("b/a  median %.4fx, CPU %.2fx; b-a %+.3f ms and %+.1f us CPU per exchange\n",
                median('b') / median('a'), cpu('b') / cpu('a'), wall_extra, cpu_extra);
    std::printf("     target b-a at most 0.5 ms and 50 us: %s\n", Verdict(wall_extra <= 0.5 && cpu_extra <= 50.0));
  }
  if (ok('d') && ok('e')) {
    std::printf("d/e  median %.2fx, CPU %.2fx; d median %.3f ms\n", median('d') / median('e'), cpu('d') / cpu('e'),
                median('d') / 1e3);
    std::printf("     target d/e at most 1.5x and d at most 1 ms: %s\n",
                Verdict(median('d') <= 1.5 * median('e') && median('d') <= 1e3));
  }
  if (ok('d') && ok('h') && ok('i')) {
    std::printf("ser2net on loopback adds %.3f ms (tcp://) and %.3f ms (rfc2217://) to the median of d\n",
                (median('h') - median('d')) / 1e3, (median('i') - median('d')) / 1e3);
  }
  if (ok('b') && ok('d')) {
    const double rate_b = 1e6 / Mean(cases['b'].figures.wall);
    const double rate_d = 1e6 / Mean(cases['d'].figures.wall);
    std::printf("d vs b  exchange rate %.0fx (%.0f against %.2f exchanges a second)\n", rate_d / rate_b, rate_d, rate_b);
    std::printf("     target at least 50x: %s\n", Verdict(rate_d >= 50.0 * rate_b));
  }
  for (const auto& [key, c] : cases) {
    if (!c.figures.failure.empty()) return 1;
  }
  return 0;
}
