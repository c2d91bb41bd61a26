#include "session.h"

#include <csignal>
#include <cstdio>
#include <exception>

#include "lens_sim.h"
#include "report.h"

namespace kelvaroctl {

namespace {

volatile std::sig_atomic_t g_interrupted = 0;

void OnInterrupt(int) { g_interrupted = 1; }

}  // namespace

bool Interrupted() { return g_interrupted != 0; }

void CatchInterrupts() {
#ifdef _WIN32
  std::signal(SIGINT, OnInterrupt);  // Ctrl-C; Windows has no sigaction
  std::signal(SIGBREAK, OnInterrupt);
#else
  struct sigaction action {};
  action.sa_handler = OnInterrupt;
  sigemptyset(&action.sa_mask);
  sigaction(SIGINT, &action, nullptr);
  sigaction(SIGTERM, &action, nullptr);
#endif
}

Session::Session(const Options& options) : options_(options) {}

Session::~Session() {
  // Before the simulator goes: the lens's check may be mid-exchange with it.
  if (lens_ != nullptr) kelvaro_close(lens_);
}

int Session::Open(bool watched) {
  if (options_.simulate) {
    try {
#ifdef _WIN32
      // No pseudo-terminals: the lens serves a free loopback TCP port instead.
      simulator_ = std::make_unique<lenssim::Simulator>(lenssim::TcpLineOpener({"127.0.0.1", "0"}));
#else
      simulator_ = std::make_unique<lenssim::Simulator>();
#endif
    } catch (const std::exception& error) {
      std::fprintf(stderr, "kelvaroctl: cannot start the simulated lens: %s\n", error.what());
      return 1;
    }
    lenssim::LensState state;
    state.motor_speed = lenssim::kTypicalMotorSpeed;
    simulator_->SetState(state);
    port_ = simulator_->DevicePath();
  } else if (!options_.port.empty()) {
    port_ = options_.port;
  } else {
    std::fprintf(stderr, "kelvaroctl: no port given; use --port DEVICE (e.g. /dev/ttyUSB0) or --simulate\n");
    return 2;
  }

  kelvaro_options settings{};
  settings.framing = options_.framing == Framing::kTimed ? KELVARO_FRAMING_TIMED : KELVARO_FRAMING_FRAME;
  settings.watch = watched ? 1 : 0;
  settings.reopen = watched ? 1 : 0;
  const int opened = kelvaro_open(port_.c_str(), &settings, &lens_);
  if (opened == KELVARO_UNABLE_TO_OPEN_PORT) {
    const bool server = port_.rfind("tcp://", 0) == 0 || port_.rfind("rfc2217://", 0) == 0;
    std::fprintf(stderr, "kelvaroctl: cannot open %s: %s (%s)\n", port_.c_str(), ResultText(opened).c_str(),
                 server ? "the server must be up and listening on that port"
                        : "the device must exist and not be in use by another program");
    return 1;
  }
  if (opened != KELVARO_OK) {
    std::fprintf(stderr, "kelvaroctl: cannot use %s: %s\n", port_.c_str(), ResultText(opened).c_str());
    return 1;
  }
  return 0;
}

}  // namespace kelvaroctl
