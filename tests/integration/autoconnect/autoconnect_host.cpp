// A host in a process of its own: initialises the library, opens the given port, then waits
// for a byte on standard input and returns from main, so the process exits with the
// library's check still running.
//   kelvaro_autoconnect_host DEVICE [busy]
// With "busy" a second thread calls GetLensIris back to back, so a host call is in flight
// (or waiting for the library) when the process exits. With "signal" the byte starts an
// iris query that a signal handler ends by calling exit(): the call never lets go of the
// library, and the process must still end.
#include <signal.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstring>
#include <thread>

#include "Kelvaro32.h"

int main(int argc, char** argv) {
  if (argc < 2) return 2;
  if (InitializeLensControl() != KELVARO_OK) return 3;
  if (OpenComPort(argv[1]) != KELVARO_OK) return 4;
  if (argc > 2 && std::strcmp(argv[2], "busy") == 0) {
    std::thread([] {
      for (;;) {
        unsigned short position = 0;
        GetLensIris(&position);
      }
    }).detach();
  }
  char byte = 0;
  if (read(STDIN_FILENO, &byte, 1) != 1) return 5;
  if (argc > 2 && std::strcmp(argv[2], "signal") == 0) {
    signal(SIGALRM, [](int) { exit(0); });
    ualarm(200 * 1000, 0);
    unsigned short position = 0;
    GetLensIris(&position);  // the lens is silent: the signal comes in the middle
    return 6;
  }
  return 0;
}
