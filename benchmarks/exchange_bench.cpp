// How long one exchange with a prompt lens takes, and how much CPU the wait costs.
// A read asks for a whole reply buffer and ends 100 ms after the last byte, so a prompt
// lens still costs about 100 ms per exchange; the CPU time shows the wait is not a spin.
#include <benchmark/benchmark.h>

#include "Kelvaro32.h"
#include "lens_sim.h"

namespace {

class Lens {
 public:
  Lens() {
    InitializeLensControl();
    OpenComPort(lens_.DevicePath().c_str());
  }
  ~Lens() { CloseComPort(); }
  lenssim::Simulator& Simulator() { return lens_; }

 private:
  lenssim::Simulator lens_;
};

Lens& TheLens() {
  static Lens lens;
  return lens;
}

void BM_ZoomQuery(benchmark::State& state) {
  TheLens();
  unsigned short zoom = 0;
  for (auto _ : state) {
    if (GetLensZoom(&zoom) != KELVARO_OK) state.SkipWithError("zoom query failed");
  }
}
BENCHMARK(BM_ZoomQuery)->Unit(benchmark::kMillisecond)->Iterations(20)->MeasureProcessCPUTime();

void BM_ZoomQueryNoLens(benchmark::State& state) {
  TheLens().Simulator().SetFault(0x31, lenssim::Fault::Silent());
  unsigned short zoom = 0;
  for (auto _ : state) {
    if (GetLensZoom(&zoom) != KELVARO_TIMEOUT) state.SkipWithError("expected a time-out");
  }
  TheLens().Simulator().SetFault(0x31, lenssim::Fault::Silent(0));
}
BENCHMARK(BM_ZoomQueryNoLens)->Unit(benchmark::kMillisecond)->Iterations(6)->MeasureProcessCPUTime();

void BM_LensName(benchmark::State& state) {
  TheLens();
  char name[147];
  for (auto _ : state) {
    if (GetLensName(name) != KELVARO_OK) state.SkipWithError("name failed");
  }
}
BENCHMARK(BM_LensName)->Unit(benchmark::kMillisecond)->Iterations(10)->MeasureProcessCPUTime();

}  // namespace

BENCHMARK_MAIN();
