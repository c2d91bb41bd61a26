// The lens of one kelvaroctl run: opened through the library's handle interface (on the
// in-process simulated lens with --simulate), and closed again at the end.
#pragma once

#include <memory>
#include <string>

#include "args.h"
#include "kelvaro.h"

namespace lenssim {
class Simulator;
}

namespace kelvaroctl {

class Session {
 public:
  explicit Session(const Options& options);
  // Closes the lens: an exit without kelvaro_close would leave the device exclusive.
  ~Session();
  Session(const Session&) = delete;
  Session& operator=(const Session&) = delete;

  // 0 once the lens is open; otherwise prints what went wrong and returns the exit status.
  // `watched` starts the library's once-a-second check (kelvaro_is_connected), which also
  // opens the port again after the device went away (an unplugged adapter, a server that
  // dropped the connection).
  int Open(bool watched = false);
  const std::string& Port() const { return port_; }
  kelvaro_lens* Lens() const { return lens_; }

 private:
  const Options& options_;
  std::unique_ptr<lenssim::Simulator> simulator_;
  std::string port_;
  kelvaro_lens* lens_ = nullptr;
};

// Set by Ctrl-C (SIGINT) or SIGTERM; long-running commands stop when they see it.
bool Interrupted();
void CatchInterrupts();

}  // namespace kelvaroctl
