// Every frame a simulated lens received and every reply chunk it sent, with the moment it
// happened: what the lens actually did, to judge the library's results against.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <mutex>
#include <vector>

#include "lens_sim.h"
#include "soak.h"

namespace soak {

struct LineEvent {
  Clock::time_point at;
  bool to_host = false;  // a reply chunk; else a request frame the lens recorded
  lenssim::Bytes bytes;
};

class LineLog {
 public:
  // Starts logging the lens's line. The log must outlive the lens or be detached first.
  void Attach(lenssim::Simulator& lens) {
    lens.SetTrace([this](lenssim::Direction direction, const lenssim::Bytes& bytes) {
      // Stamped here, on the lens's thread, right after the chunk left or the frame came in.
      const auto now = Clock::now();
      std::lock_guard<std::mutex> lock(mutex_);
      events_.push_back({now, direction == lenssim::Direction::kToHost, bytes});
      grew_.notify_all();
    });
  }
  static void Detach(lenssim::Simulator& lens) { lens.SetTrace({}); }

  std::size_t Count() {
    std::lock_guard<std::mutex> lock(mutex_);
    return events_.size();
  }

  // The events from index `from` on.
  std::vector<LineEvent> Since(std::size_t from) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (from >= events_.size()) return {};
    return std::vector<LineEvent>(events_.begin() + static_cast<std::ptrdiff_t>(from), events_.end());
  }

  // Waits until the log holds at least `count` events or `wait_ms` passes.
  bool WaitForCount(std::size_t count, int wait_ms) {
    std::unique_lock<std::mutex> lock(mutex_);
    return grew_.wait_for(lock, std::chrono::milliseconds(wait_ms), [&] { return events_.size() >= count; });
  }

  // Forgets what has been judged, so a long run does not keep it all.
  void Drop(std::size_t count) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (count > events_.size()) count = events_.size();
    events_.erase(events_.begin(), events_.begin() + static_cast<std::ptrdiff_t>(count));
  }

 private:
  std::mutex mutex_;
  std::condition_variable grew_;
  std::vector<LineEvent> events_;
};

}  // namespace soak
