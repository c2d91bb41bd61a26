// The library allocates nothing in any exported call. Counted by replacing the allocator
// for this process and counting only the calls made on the test's own thread while armed,
// so the simulated lens's thread and the test framework do not count.
#include <malloc.h>

#include <atomic>
#include <cstddef>
#include <cstring>

#include "kelvaro.h"
#include "lens_fixture.h"

extern "C" {
void* __libc_malloc(std::size_t size);
void* __libc_calloc(std::size_t count, std::size_t size);
void* __libc_realloc(void* pointer, std::size_t size);
void* __libc_memalign(std::size_t alignment, std::size_t size);
void __libc_free(void* pointer);
}

namespace {

thread_local bool t_counting = false;
std::atomic<int> g_allocations{0};

void Count() {
  if (t_counting) g_allocations.fetch_add(1);
}

}  // namespace

extern "C" {
void* malloc(std::size_t size) {
  Count();
  return __libc_malloc(size);
}
void* calloc(std::size_t count, std::size_t size) {
  Count();
  return __libc_calloc(count, size);
}
void* realloc(void* pointer, std::size_t size) {
  Count();
  return __libc_realloc(pointer, size);
}
void* memalign(std::size_t alignment, std::size_t size) {
  Count();
  return __libc_memalign(alignment, size);
}
void* aligned_alloc(std::size_t alignment, std::size_t size) {
  Count();
  return __libc_memalign(alignment, size);
}
int posix_memalign(void** out, std::size_t alignment, std::size_t size) {
  Count();
  *out = __libc_memalign(alignment, size);
  return *out != nullptr ? 0 : 12;
}
void free(void* pointer) { __libc_free(pointer); }
}

namespace kelvaro_test {
namespace {

class Allocations : public LensTest {
 protected:
  template <typename Calls>
  int Counted(Calls&& calls) {
    g_allocations = 0;
    t_counting = true;
    calls();
    t_counting = false;
    return g_allocations.load();
  }
};

TEST_F(Allocations, TheCounterSeesAnAllocation) {
  // Without this the test below could pass with a counter that never counts.
  EXPECT_GE(Counted([] { __libc_free(nullptr); free(malloc(16)); }), 1);
}

TEST_F(Allocations, NoExportedCallAllocates) {
  AnswerHandshake();
  unsigned short value = 0;
  char text[200] = "";
  const int allocations = Counted([&] {
    InitializeLensControl();
    OpenComPort(lens.DevicePath().c_str());
    Connect();
    Reset();
    SetLensIris(1);
    SetLensZoom(2);
    SetLensFocus(3);
    GetLensIris(&value);
    GetLensZoom(&value);
    GetLensFocus(&value);
    SetSwitch0Host(0x0E);
    SetSwitch2Host(0xDF);
    SetSwitch3Host(0xFF);
    SetSwitch4Host(0xF8);
    GetSwitch0Host(text, &value);
    GetSwitch2Host(text, &value);
    GetSwitch3Host(text, &value);
    GetSwitch4Host(text, &value);
    Set2XMag(1);
    Get2XMag(&value);
    SetAutoIris(1);
    GetLensName(text);
    GetLensFocalLengthRange(text);
    GetLensMOD(text);
    GetLensOpenFNo(text);
    text[0] = '\0';
    GetResultString(-12345, text);
    IsAutoConnected();
    CLens lens_object;
    lens_object = CLens();
    CloseComPort();
    OpenComPort("/dev/kelvaro-no-such-port");
    CloseComPort();
  });
  EXPECT_EQ(allocations, 0);
  // The calls really talked to the lens.
  EXPECT_GE(lens.Received().size(), 20u);
}

TEST_F(Allocations, NoHandleInterfaceCallAllocatesAfterTheOpen) {
  CloseComPort();
  lenssim::Simulator other;
  kelvaro_lens* watched = nullptr;
  kelvaro_lens* plain = nullptr;
  const kelvaro_options watch{KELVARO_FRAMING_FRAME, 1, 0};
  const kelvaro_options timed{KELVARO_FRAMING_TIMED, 0, 0};
  ASSERT_EQ(kelvaro_open(lens.DevicePath().c_str(), &watch, &watched), KELVARO_OK);
  ASSERT_EQ(kelvaro_open(other.DevicePath().c_str(), &timed, &plain), KELVARO_OK);
  lens.SetFault(0x16, Fault::BadChecksum(1));
  unsigned short position = 0;
  unsigned char byte = 0;
  char name[300];
  kelvaro_optics optics{};
  const int allocations = Counted([&] {
    for (kelvaro_lens* handle : {watched, plain, static_cast<kelvaro_lens*>(nullptr)}) {
      kelvaro_connect(handle);
      kelvaro_is_connected(handle);
      kelvaro_move(handle, KELVARO_IRIS, 100);
      kelvaro_position(handle, KELVARO_FOCUS, &position);
      kelvaro_set_switch(handle, 3, 0xFF);
      kelvaro_switch(handle, 2, &byte);
      kelvaro_name(handle, name, sizeof name);
      kelvaro_read_optics(handle, &optics);
      kelvaro_result_text(kelvaro_position(handle, 7, &position));
    }
    kelvaro_close(plain);
    kelvaro_open("/dev/kelvaro-no-such-port", nullptr, &plain);
    kelvaro_open("/dev/null", &timed, &plain);
    kelvaro_open(other.DevicePath().c_str(), &timed, &plain);
    kelvaro_close(plain);
    kelvaro_close(watched);
  });
  EXPECT_EQ(allocations, 0);
  EXPECT_GE(lens.Received().size(), 7u);
  EXPECT_GE(other.Received().size(), 7u);
}

TEST_F(Allocations, StreamsAndMotionAllocateNothingAfterTheOpen) {
  CloseComPort();
  kelvaro_lens* handle = nullptr;
  ASSERT_EQ(kelvaro_open(lens.DevicePath().c_str(), nullptr, &handle), KELVARO_OK);
  kelvaro_sample samples[4];
  size_t count = 0;
  const int targets[3] = {100, 200, -1};
  kelvaro_lens_stats stats{};
  const int allocations = Counted([&] {
    kelvaro_stream_start(handle, (1u << KELVARO_ZOOM) | (1u << KELVARO_FOCUS), 0);
    kelvaro_stream_wait(handle, samples, 1000);
    kelvaro_stream_read(handle, samples, 4, &count);
    kelvaro_latest(handle, samples);
    kelvaro_move_together(handle, targets, 100, KELVARO_EASE_IN_OUT);
    kelvaro_jog(handle, KELVARO_FOCUS, 0.5, 100);
    kelvaro_moving(handle);
    kelvaro_stats(handle, &stats);
    kelvaro_clock();
    kelvaro_stop(handle);
    kelvaro_stream_stop(handle);
  });
  EXPECT_EQ(allocations, 0);
  EXPECT_GT(stats.by_code[KELVARO_OK], 0u);  // the calls really talked to the lens
  kelvaro_close(handle);
}

TEST_F(Allocations, FailedRepliesAllocateNothingEither) {
  lens.SetFault(0x13, Fault::BadChecksum());
  lens.SetFault(0x16, Fault::Short(2));
  lens.SetFault(0x31, Fault::WrongCode(0x11));
  char text[200] = "";
  unsigned short value = 0;
  const int allocations = Counted([&] {
    GetLensOpenFNo(text);
    GetLensMOD(text);
    GetLensZoom(&value);
  });
  EXPECT_EQ(allocations, 0);
}

}  // namespace
}  // namespace kelvaro_test
