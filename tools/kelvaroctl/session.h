// The lens link of one kelvaroctl run: the library initialised, the port open (on the
// in-process simulated lens with --simulate), and closed again at the end.
#pragma once

#include <memory>
#include <string>

#include "args.h"

namespace lenssim {
class Simulator;
}

namespace kelvaroctl {

class Session {
 public:
  explicit Session(const Options& options);
  // Closes the port: an exit without CloseComPort would leave the device exclusive.
  ~Session();
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;

  // 0 once the port is open; otherwise prints what went wrong and returns the exit status.
  int Open();
  const std::string& Port() const { return port_; }

 private:
  const Options& options_;
  std::unique_ptr<lenssim::Simulator> simulator_;
  std::string port_;
  bool open_ = false;
};

// Set by Ctrl-C (SIGINT) or SIGTERM; long-running commands stop when they see it.
bool Interrupted();
void CatchInterrupts();

}  // namespace kelvaroctl
