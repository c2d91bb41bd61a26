// Position streams: what the samples hold, the grid, the ring, failures, waiting across
// threads, the check's sign of life, and every bad argument.
#include <atomic>
#include <cmath>
#include <thread>

#include "motion_fixture.h"

namespace kelvaro_test {
namespace {

using Stream = Motion;

TEST_F(Stream, EachRoundReadsItsAxesInOrderIntoOneSample) {
  Hold(100, 200, 300);
  ASSERT_EQ(kelvaro_stream_start(handle, kZoomBit | kFocusBit, 0), KELVARO_OK);
  kelvaro_sample sample{};
  ASSERT_EQ(kelvaro_stream_wait(handle, &sample, 2000), KELVARO_OK);
  EXPECT_EQ(sample.sequence, 1u);
  EXPECT_EQ(sample.fresh, kZoomBit | kFocusBit);
  EXPECT_EQ(sample.position[KELVARO_IRIS], 0);  // not in the stream
  EXPECT_EQ(sample.position[KELVARO_ZOOM], 200);
  EXPECT_EQ(sample.position[KELVARO_FOCUS], 300);
  const double now = kelvaro_clock();
  EXPECT_LE(sample.time, now);
  EXPECT_GT(sample.time, now - 2.0);

  Hold(100, 210, 310);
  ASSERT_TRUE(lens.WaitForFrames(40, 3000));
  kelvaro_sample samples[KELVARO_STREAM_DEPTH];
  size_t count = 0;
  ASSERT_EQ(kelvaro_stream_read(handle, samples, KELVARO_STREAM_DEPTH, &count), KELVARO_OK);
  ASSERT_GT(count, 5u);
  for (size_t i = 0; i < count; ++i) {
    EXPECT_EQ(samples[i].sequence, sample.sequence + 1 + i);
    EXPECT_GE(samples[i].time, i == 0 ? sample.time : samples[i - 1].time);
  }
  EXPECT_EQ(samples[count - 1].position[KELVARO_ZOOM], 210);
  kelvaro_sample latest{};
  ASSERT_EQ(kelvaro_latest(handle, &latest), KELVARO_OK);
  EXPECT_GE(latest.sequence, samples[count - 1].sequence);  // read or not, latest is there

  // Zoom, focus, zoom, focus ...: never the iris.
  const std::vector<Bytes> received = lens.Received();
  for (size_t i = 0; i + 1 < received.size(); ++i) {
    ASSERT_NE(received[i][1], 0x30);
    EXPECT_NE(received[i][1], received[i + 1][1]) << i;
  }

  // A host call is served between the stream's exchanges.
  unsigned short iris = 0;
  EXPECT_EQ(kelvaro_position(handle, KELVARO_IRIS, &iris), KELVARO_OK);
  EXPECT_EQ(iris, 100);

  ASSERT_EQ(kelvaro_stream_stop(handle), KELVARO_OK);
  EXPECT_EQ(kelvaro_stream_stop(handle), KELVARO_OK);
  EXPECT_EQ(kelvaro_stream_read(handle, samples, 1, &count), KELVARO_INVALID_ARGUMENT);
  EXPECT_EQ(kelvaro_stream_wait(handle, &sample, 0), KELVARO_INVALID_ARGUMENT);
  EXPECT_EQ(kelvaro_latest(handle, &sample), KELVARO_INVALID_ARGUMENT);
  lens.ClearReceived();
  std::this_thread::sleep_for(std::chrono::milliseconds(100));
  EXPECT_TRUE(lens.Received().empty());

  // A new stream starts from sequence 1, its positions from 0.
  ASSERT_EQ(kelvaro_stream_start(handle, kIrisBit, 0), KELVARO_OK);
  ASSERT_EQ(kelvaro_stream_wait(handle, &sample, 2000), KELVARO_OK);
  EXPECT_EQ(sample.sequence, 1u);
  EXPECT_EQ(sample.position[KELVARO_ZOOM], 0);
  EXPECT_EQ(sample.position[KELVARO_IRIS], 100);
}

// A round that comes late skips to the next point of the grid: no burst of rounds after it.
TEST_F(Stream, RoundsKeepToTheGridAndALateOneSkipsAhead) {
  lens.SetFault(0x31, Fault::Delay(180, 1));
  ASSERT_EQ(kelvaro_stream_start(handle, kZoomBit, 20), KELVARO_OK);
  std::vector<kelvaro_sample> samples;
  while (samples.size() < 12) {
    kelvaro_sample sample{};
    ASSERT_EQ(kelvaro_stream_wait(handle, &sample, 2000), KELVARO_OK);
    samples.push_back(sample);
  }
  // The late first round ends at 180 ms; the next starts on the grid point at 200 ms, and
  // those after it one period apart, with none made up for the ones missed.
  for (size_t i = 1; i < samples.size(); ++i) {
    EXPECT_EQ(samples[i].sequence, samples[i - 1].sequence + 1);
    if (i >= 2) {
      EXPECT_GT(samples[i].time - samples[i - 1].time, 0.025) << i;  // half a period
    }
  }
  // Grid points are 50 ms apart: every round after the late one starts on one of them.
  const double span = samples.back().time - samples[2].time;
  EXPECT_NEAR(std::fmod(span + 0.025, 0.05), 0.025, 0.02);
}

TEST_F(Stream, TheRingKeepsTheNewestAndTheSequenceShowsWhatWasOverwritten) {
  ASSERT_EQ(kelvaro_stream_start(handle, kIrisBit, 0), KELVARO_OK);
  kelvaro_sample latest{};
  const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (kelvaro_latest(handle, &latest) != KELVARO_OK || latest.sequence < KELVARO_STREAM_DEPTH + 40) {
    ASSERT_LT(std::chrono::steady_clock::now(), until);
    std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  static kelvaro_sample samples[2 * KELVARO_STREAM_DEPTH];
  size_t count = 0;
  ASSERT_EQ(kelvaro_stream_read(handle, samples, 2 * KELVARO_STREAM_DEPTH, &count), KELVARO_OK);
  ASSERT_EQ(count, static_cast<size_t>(KELVARO_STREAM_DEPTH));
  EXPECT_GT(samples[0].sequence, 1u);
  for (size_t i = 1; i < count; ++i) EXPECT_EQ(samples[i].sequence, samples[i - 1].sequence + 1);
  EXPECT_EQ(kelvaro_stream_read(handle, nullptr, 0, &count), KELVARO_OK);
  EXPECT_EQ(count, 0u);
}

TEST_F(Stream, AFailedReadLeavesItsAxisStaleAndNotFresh) {
  Hold(10, 20, 30);
  ASSERT_EQ(kelvaro_stream_start(handle, kIrisBit | kZoomBit, 0), KELVARO_OK);
  kelvaro_sample sample{};
  ASSERT_EQ(kelvaro_stream_wait(handle, &sample, 2000), KELVARO_OK);
  Hold(11, 21, 31);
  lens.SetFault(0x31, Fault::Silent());
  // Within a few rounds every sample has a stale zoom.
  for (int i = 0; i < 8; ++i) ASSERT_EQ(kelvaro_stream_wait(handle, &sample, 2000), KELVARO_OK);
  EXPECT_EQ(sample.fresh, kIrisBit);
  EXPECT_EQ(sample.position[KELVARO_IRIS], 11);
  EXPECT_EQ(sample.position[KELVARO_ZOOM], 20);

  lens.SetFault(0x30, Fault::Silent());
  for (int i = 0; i < 2; ++i) ASSERT_EQ(kelvaro_stream_wait(handle, &sample, 3000), KELVARO_OK);
  EXPECT_EQ(sample.fresh, 0u);
  EXPECT_GT(sample.time, 0.0);  // the round's end
}

// A waiter returns 101 at once when its stream goes: stopped, restarted or closed.
TEST_F(Stream, AWaiterLetsGoWhenItsStreamGoes) {
  lens.SetFault(0x30, Fault::Silent());
  for (int how = 0; how < 3; ++how) {
    ASSERT_EQ(kelvaro_stream_start(handle, kIrisBit, 0.5), KELVARO_OK);
    kelvaro_sample sample{};
    ASSERT_EQ(kelvaro_stream_wait(handle, &sample, 3000), KELVARO_OK);  // the first round's
    std::atomic<int> code{-1};
    std::thread waiter([&] { code = kelvaro_stream_wait(handle, &sample, 10000); });
    std::this_thread::sleep_for(std::chrono::milliseconds(100));
    const auto began = std::chrono::steady_clock::now();
    if (how == 0) kelvaro_stream_stop(handle);
    if (how == 1) kelvaro_stream_start(handle, kZoomBit, 0.5);
    if (how == 2) kelvaro_close(handle);
    waiter.join();
    EXPECT_EQ(code.load(), KELVARO_INVALID_ARGUMENT) << how;
    EXPECT_LT(std::chrono::steady_clock::now() - began, std::chrono::seconds(2)) << how;
  }
  handle = nullptr;
}

TEST_F(Stream, BadArgumentsGive101AndSendNothing) {
  kelvaro_sample sample{};
  size_t count = 0;
  EXPECT_EQ(kelvaro_stream_read(handle, &sample, 1, &count), KELVARO_INVALID_ARGUMENT);  // no stream
  EXPECT_EQ(kelvaro_stream_wait(handle, &sample, 0), KELVARO_INVALID_ARGUMENT);
  EXPECT_EQ(kelvaro_latest(handle, &sample), KELVARO_INVALID_ARGUMENT);
  EXPECT_EQ(kelvaro_stream_stop(handle), KELVARO_OK);
  const struct {
    unsigned axes;
    double rate;
  } starts[] = {{0, 0}, {8, 0}, {kZoomBit | 16, 10}, {kZoomBit, -1}, {kZoomBit, 1000.5}, {kZoomBit, std::nan("")}};
  for (const auto& s : starts) EXPECT_EQ(kelvaro_stream_start(handle, s.axes, s.rate), KELVARO_INVALID_ARGUMENT);
  EXPECT_EQ(kelvaro_stream_start(nullptr, kZoomBit, 10), KELVARO_INVALID_ARGUMENT);
  EXPECT_TRUE(lens.Received().empty());

  ASSERT_EQ(kelvaro_stream_start(handle, kZoomBit, 1000), KELVARO_OK);
  EXPECT_EQ(kelvaro_stream_read(handle, nullptr, 1, &count), KELVARO_INVALID_ARGUMENT);
  EXPECT_EQ(kelvaro_stream_read(handle, &sample, 1, nullptr), KELVARO_INVALID_ARGUMENT);
  EXPECT_EQ(kelvaro_stream_wait(handle, nullptr, 10), KELVARO_INVALID_ARGUMENT);
  EXPECT_EQ(kelvaro_stream_wait(handle, &sample, -1), KELVARO_INVALID_ARGUMENT);
  EXPECT_EQ(kelvaro_latest(handle, nullptr), KELVARO_INVALID_ARGUMENT);
  EXPECT_EQ(kelvaro_stream_wait(nullptr, &sample, 10), KELVARO_INVALID_ARGUMENT);
}

// While a stream runs, its replies are the check's sign of life: no zoom query of its own.
TEST(StreamWatch, TheStreamIsTheChecksSignOfLife) {
  lenssim::Simulator lens;
  kelvaro_lens* handle = nullptr;
  const kelvaro_options watch{KELVARO_FRAMING_FRAME, 1, 0};
  ASSERT_EQ(kelvaro_open(lens.DevicePath().c_str(), &watch, &handle), KELVARO_OK);
  ASSERT_EQ(kelvaro_stream_start(handle, kFocusBit, 50), KELVARO_OK);
  const auto until = std::chrono::steady_clock::now() + std::chrono::seconds(5);
  while (kelvaro_is_connected(handle) == 0) {
    ASSERT_LT(std::chrono::steady_clock::now(), until);
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
  lens.ClearReceived();
  std::this_thread::sleep_for(std::chrono::milliseconds(2200));  // two checks
  EXPECT_EQ(kelvaro_is_connected(handle), 1);
  for (const Bytes& frame : lens.Received()) EXPECT_EQ(frame[1], 0x32);

  lenssim::LineFaults silent;
  silent.silent = true;
  lens.SetLineFaults(silent);
  std::this_thread::sleep_for(std::chrono::milliseconds(2200));
  EXPECT_EQ(kelvaro_is_connected(handle), 0);
  kelvaro_close(handle);
}

TEST_F(Stream, CountersAddUpEveryExchange) {
  kelvaro_lens_stats stats{};
  ASSERT_EQ(kelvaro_stats(handle, &stats), KELVARO_OK);
  EXPECT_EQ(stats.by_code[0], 0u);
  unsigned short position = 0;
  for (int i = 0; i < 5; ++i) ASSERT_EQ(kelvaro_position(handle, KELVARO_ZOOM, &position), KELVARO_OK);
  lens.SetFault(0x30, Fault::Silent(1));
  EXPECT_EQ(kelvaro_position(handle, KELVARO_IRIS, &position), KELVARO_TIMEOUT);
  ASSERT_EQ(kelvaro_stats(handle, &stats), KELVARO_OK);
  EXPECT_EQ(stats.by_code[KELVARO_OK], 5u);
  EXPECT_EQ(stats.by_code[KELVARO_TIMEOUT], 1u);
  unsigned long long timed = 0;
  for (unsigned long long bucket : stats.time_bucket) timed += bucket;
  EXPECT_EQ(timed, 6u);
  EXPECT_GE(stats.time_bucket[7], 1u);  // the time-out took 500 ms
  EXPECT_GE(stats.time_sum, 0.5);
  EXPECT_LT(stats.time_sum, 5.0);
  EXPECT_EQ(kelvaro_stats(handle, nullptr), KELVARO_INVALID_ARGUMENT);
  EXPECT_EQ(kelvaro_stats(nullptr, &stats), KELVARO_INVALID_ARGUMENT);
}

}  // namespace
}  // namespace kelvaro_test
