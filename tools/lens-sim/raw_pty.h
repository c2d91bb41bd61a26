// The descriptors of the simulator's servers: a pseudo-terminal pair and a wake-up pipe.
#pragma once

#include <string>

namespace lenssim {

// Both ends raw at 38400 baud and close-on-exec, the master non-blocking. The slave stays
// open with the server, so the master never sees a hang-up between a host's opens.
struct RawPty {
  int master = -1;
  int slave = -1;
  std::string path;  // the slave's name, e.g. /dev/pts/7
};

RawPty OpenRawPty();  // throws std::system_error
// A pipe whose written byte wakes a server thread out of poll; both ends non-blocking and
// close-on-exec. Throws std::system_error.
void OpenWakePipe(int& read_end, int& write_end);
void CloseFd(int& fd);  // closes and sets -1; harmless on -1

}  // namespace lenssim
