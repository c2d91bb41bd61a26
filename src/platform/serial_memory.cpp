// The in-memory serial device and its fake clock (memory_port.h). Test code only: it uses
// the heap and a mutex freely.
#include <atomic>
#include <deque>
#include <mutex>
#include <vector>

#include "platform/clock.h"
#include "platform/deadline.h"
#include "platform/memory_port.h"
#include "platform/read_loop.h"
#include "platform/transport.h"

namespace kelvaro::platform {
namespace {

struct Event {
  std::vector<std::uint8_t> bytes;  // empty: a pause
  long long pause_ms = 0;
};

std::mutex g_mutex;
std::deque<Event> g_script;
std::vector<std::uint8_t> g_written;
bool g_gone = false;
bool g_refuse_settings = false;
std::atomic<long long> g_now_ns{0};

void Advance(long long ms) { g_now_ns.fetch_add(ms * 1000000LL); }

long Receive(void*, std::uint8_t* buffer, std::size_t capacity, int wait_ms) {
  std::lock_guard<std::mutex> lock(g_mutex);
  if (g_gone) return -1;
  if (g_script.empty()) {
    Advance(wait_ms);  // nothing more is coming: the wait runs out
    return 0;
  }
  Event& next = g_script.front();
  if (next.bytes.empty()) {
    const long long step = next.pause_ms < wait_ms ? next.pause_ms : wait_ms;
    Advance(step);
    next.pause_ms -= step;
    if (next.pause_ms == 0) g_script.pop_front();
    return 0;
  }
  const std::size_t n = next.bytes.size() < capacity ? next.bytes.size() : capacity;
  std::copy(next.bytes.begin(), next.bytes.begin() + static_cast<long>(n), buffer);
  next.bytes.erase(next.bytes.begin(), next.bytes.begin() + static_cast<long>(n));
  if (next.bytes.empty()) g_script.pop_front();
  return static_cast<long>(n);
}

bool Open(Port& port, const char*, const PortAddress&) {
  port.native = 1;
  return true;
}

bool Accept(Port&) { return true; }

bool ApplyLineSettings(Port&) {
  std::lock_guard<std::mutex> lock(g_mutex);
  return !g_refuse_settings;
}

bool Write(Port& port, const std::uint8_t* bytes, std::size_t count) {
  std::lock_guard<std::mutex> lock(g_mutex);
  if (g_gone) {
    port.gone = true;
    return false;
  }
  g_written.insert(g_written.end(), bytes, bytes + count);
  return true;
}

std::size_t Read(Port& port, std::uint8_t* buffer, std::size_t capacity, const ReadComplete* complete) {
  return ReadWithTimeouts(Receive, &port, buffer, capacity, complete, port.gone);
}

// What comes before the script's next pause has arrived.
std::size_t ReadPending(Port& port, std::uint8_t* buffer, std::size_t capacity) {
  std::size_t got = 0;
  for (;;) {
    {
      std::lock_guard<std::mutex> lock(g_mutex);
      if (g_script.empty() || g_script.front().bytes.empty() || got == capacity) return got;
    }
    const long n = Receive(&port, buffer + got, capacity - got, 0);
    if (n < 0) port.gone = true;
    if (n <= 0) return got;
    got += static_cast<std::size_t>(n);
  }
}

void Close(Port&) {}

}  // namespace

MonotonicClock::time_point MonotonicClock::now() { return time_point(duration(g_now_ns.load())); }

double ClockSeconds() { return static_cast<double>(g_now_ns.load()) * 1e-9; }

const Transport kDeviceTransport{Open, Accept, ApplyLineSettings, Accept, Write, Read, ReadPending, Close};

namespace memory {

void Send(const std::uint8_t* bytes, std::size_t count) {
  if (count == 0) return;
  std::lock_guard<std::mutex> lock(g_mutex);
  g_script.push_back(Event{std::vector<std::uint8_t>(bytes, bytes + count), 0});
}

void Pause(int ms) {
  std::lock_guard<std::mutex> lock(g_mutex);
  g_script.push_back(Event{{}, ms < 0 ? 0 : ms});
}

void Reset() {
  std::lock_guard<std::mutex> lock(g_mutex);
  g_script.clear();
  g_written.clear();
  g_gone = false;
  g_refuse_settings = false;
}

std::size_t Written(std::uint8_t* out, std::size_t capacity) {
  std::lock_guard<std::mutex> lock(g_mutex);
  const std::size_t n = g_written.size() < capacity ? g_written.size() : capacity;
  std::copy(g_written.begin(), g_written.begin() + static_cast<long>(n), out);
  return g_written.size();
}

void SetGone(bool gone) {
  std::lock_guard<std::mutex> lock(g_mutex);
  g_gone = gone;
}

void RefuseSettings(bool refuse) {
  std::lock_guard<std::mutex> lock(g_mutex);
  g_refuse_settings = refuse;
}

long long NowMs() { return g_now_ns.load() / 1000000LL; }

}  // namespace memory
}  // namespace kelvaro::platform
