// A small host: starts a simulated lens, connects to it, and shows what the lens says.
#include <cstdio>

#include "Kelvaro32.h"
#include "lens_sim.h"

namespace {

void Show(const char* what, int code) {
  char text[64] = "";
  GetResultString(code, text);
  std::printf("%-12s %2d%s\n", what, code, text);
}

}  // namespace

int main() {
  lenssim::Simulator lens;
  std::printf("simulated lens on %s\n", lens.DevicePath().c_str());

  Show("initialise", InitializeLensControl());
  Show("open", OpenComPort(lens.DevicePath().c_str()));
  const int connected = Connect();
  Show("connect", connected);
  if (connected != KELVARO_OK) return 1;

  unsigned short zoom = 0;
  Show("zoom", GetLensZoom(&zoom));
  std::printf("zoom position %u\n", zoom);

  std::printf("result texts:\n");
  const int codes[] = {0, 1, 3, 4, 5, 6, 7, 8, 10, 12, 13, 14};
  for (int code : codes) Show("", code);
  Show("close", CloseComPort());
  return 0;
}
