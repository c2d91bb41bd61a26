// Phases 1 and 2: opening and closing lenses, and loading and unloading the whole library,
// over and over; at the end the process must hold exactly the descriptors and threads it
// held at the start.
#include <algorithm>
#include <memory>
#include <random>

#include "lens_sim.h"
#include "line_log.h"
#include "soak.h"

namespace soak {

namespace {

// A lens that answers at once, motors included, so cycles spend their time in the library.
void Prompt(lenssim::Simulator& lens) {
  lenssim::LensState state = lens.State();
  state.motor_speed = 0;
  lens.SetState(state);
}

std::string Counts(int before, int after) { return Format("%d -> %d", before, after); }

}  // namespace

PhaseResult OpenCloseCycles(const Options& options) {
  const int cycles = options.short_run ? 1000 : 10000;
  // A few watched lenses stay open past their first check, to see the check thread work.
  const int held = options.short_run ? 5 : 10;
  const int held_every = cycles / held;
  PhaseResult result;

  Library lib;
  if (!LoadForPhase(lib, options, "phase 1 open/close", result)) return result;
  {
    lenssim::Simulator handle_lens;  // for kelvaro_open
    lenssim::Simulator flat_lens;    // for OpenComPort
    Prompt(handle_lens);
    Prompt(flat_lens);
    lib.InitializeLensControl();  // the flat check runs on whatever port is open at its tick
    SleepMs(50);

    const int fds_before = OpenDescriptors();
    const int threads_before = static_cast<int>(ThreadIds().size());
    const auto start = Clock::now();

    int opens = 0, frame_ended = 0, watched = 0, reopened = 0, flat_opens = 0;
    int failures = 0, exchanges = 0, exchange_failures = 0, checks_seen = 0, holds = 0;
    for (int i = 0; i < cycles; ++i) {
      const bool hold = i % held_every == held_every / 2;
      kelvaro_options o{};
      o.framing = i % 2 == 0 ? KELVARO_FRAMING_FRAME : KELVARO_FRAMING_TIMED;
      o.watch = hold || i % 4 == 1 || i % 4 == 2 ? 1 : 0;
      o.reopen = o.watch != 0 && i % 8 == 2 ? 1 : 0;
      kelvaro_lens* lens = nullptr;
      const int code = lib.kelvaro_open(handle_lens.DevicePath().c_str(), &o, &lens);
      if (code != KELVARO_OK) {
        if (++failures <= 5) {
          Evidence("phase 1: cycle %d: kelvaro_open gave %d (%s)", i, code, lib.kelvaro_result_text(code));
        }
      } else {
        ++opens;
        frame_ended += o.framing == KELVARO_FRAMING_FRAME;
        watched += o.watch;
        reopened += o.reopen;
        if (i % 50 == 0) {
          unsigned short zoom = 0;
          ++exchanges;
          const int got = lib.kelvaro_position(lens, KELVARO_ZOOM, &zoom);
          if (got != KELVARO_OK) {
            ++exchange_failures;
            Evidence("phase 1: cycle %d: kelvaro_position gave %d", i, got);
          }
        }
        if (hold) {
          ++holds;
          // The first check comes a second after the open: the handshake, then connected.
          if (WaitUntil(2500, [&] { return lib.kelvaro_is_connected(lens) == 1; })) {
            ++checks_seen;
          } else {
            Evidence("phase 1: cycle %d: a watched lens was not connected 2.5 s after its open", i);
          }
        }
        const int closed = lib.kelvaro_close(lens);
        if (closed != KELVARO_OK) {
          if (++failures <= 5) Evidence("phase 1: cycle %d: kelvaro_close gave %d", i, closed);
        }
      }
      const int flat = lib.OpenComPort(flat_lens.DevicePath().c_str());
      if (flat != KELVARO_OK) {
        if (++failures <= 5) Evidence("phase 1: cycle %d: OpenComPort gave %d", i, flat);
      } else {
        ++flat_opens;
        const int closed = lib.CloseComPort();
        if (closed != KELVARO_OK && ++failures <= 5) Evidence("phase 1: cycle %d: CloseComPort gave %d", i, closed);
      }
    }
    const double seconds = SecondsSince(start);
    const int fds_after = SettleTo(fds_before, 500, [] { return OpenDescriptors(); });
    const int threads_after = SettleTo(threads_before, 500, [] { return static_cast<int>(ThreadIds().size()); });
    const int fd_leak = fds_after - fds_before;
    const int thread_leak = threads_after - threads_before;

    result.pass = fd_leak == 0 && thread_leak == 0 && failures == 0 && exchange_failures == 0 && checks_seen == holds;
    result.line = Format(
        "phase 1 open/close: %d cycles in %.1f s: %d handle opens (%d frame-ended, %d timed; %d watched, "
        "%d with reopen), %d flat opens, %d failed calls, %d/%d exchanges OK, %d/%d held lenses connected by "
        "their check; descriptors %s, threads %s: %s",
        cycles, seconds, opens, frame_ended, opens - frame_ended, watched, reopened, flat_opens, failures,
        exchanges - exchange_failures, exchanges, checks_seen, holds, Counts(fds_before, fds_after).c_str(),
        Counts(threads_before, threads_after).c_str(), result.pass ? "PASS" : "FAIL");
    result.summary = Format("%d cycles: leaked descriptors %d, threads %d; failed calls %d", cycles, fd_leak,
                            thread_leak, failures + exchange_failures + (holds - checks_seen));
  }
  lib.Unload();
  return result;
}

PhaseResult LoadUnloadCycles(const Options& options) {
  const int cycles = options.short_run ? 100 : 1000;
  // Every so many cycles wait a while before the unload, so that sometimes a check is in
  // the middle of its exchange when the library goes; the lenses are then silent half the
  // time, which keeps a check waiting out its 500 ms read.
  const int delayed_every = options.short_run ? 5 : 10;
  const double delays[] = {0.0, 0.15, 0.4, 0.7, 0.95, 1.05, 1.12, 1.2, 1.1};
  PhaseResult result;

  LineLog flat_log;
  LineLog handle_log;
  lenssim::Simulator flat_lens;
  lenssim::Simulator handle_lens;
  Prompt(flat_lens);
  Prompt(handle_lens);
  flat_log.Attach(flat_lens);
  handle_log.Attach(handle_lens);

  if (Library::Resident(options.library)) {
    result.line = "phase 2 load/unload: the library is already loaded in the soak process";
    result.summary = "not run";
    return result;
  }
  const int fds_before = OpenDescriptors();
  const int threads_before = static_cast<int>(ThreadIds().size());
  const auto start = Clock::now();

  int loads = 0, still_resident = 0, failures = 0, left_open = 0, delayed = 0;
  int exchanges = 0, exchange_failures = 0, in_flight_flat = 0, in_flight_lens = 0;
  int first_leak_cycle = -1;
  long long longest_unload_ms = 0;
  std::string error;
  for (int i = 0; i < cycles; ++i) {
    const bool wait = i % delayed_every == delayed_every - 1;
    const double delay = wait ? delays[delayed % 9] : 0.0;
    const bool silent = wait && delayed % 2 == 1;
    if (wait) ++delayed;
    lenssim::LineFaults line;
    line.silent = silent;
    flat_lens.SetLineFaults(line);
    handle_lens.SetLineFaults(line);

    Library lib;
    if (!lib.Load(options.library, error)) {
      if (++failures <= 5) Evidence("phase 2: cycle %d: %s", i, error.c_str());
      continue;
    }
    ++loads;
    lib.InitializeLensControl();
    const int code_flat = lib.OpenComPort(flat_lens.DevicePath().c_str());
    if (code_flat != KELVARO_OK && ++failures <= 5) Evidence("phase 2: cycle %d: OpenComPort gave %d", i, code_flat);
    kelvaro_options o{};
    o.framing = i % 2 == 0 ? KELVARO_FRAMING_FRAME : KELVARO_FRAMING_TIMED;
    o.watch = 1;
    o.reopen = i % 3 == 0 ? 1 : 0;
    kelvaro_lens* lens = nullptr;
    const int code = lib.kelvaro_open(handle_lens.DevicePath().c_str(), &o, &lens);
    if (code != KELVARO_OK && ++failures <= 5) Evidence("phase 2: cycle %d: kelvaro_open gave %d", i, code);
    if (code == KELVARO_OK && !silent && i % 10 == 0) {
      unsigned short zoom = 0;
      ++exchanges;
      const int got = lib.kelvaro_position(lens, KELVARO_ZOOM, &zoom);
      if (got != KELVARO_OK) {
        ++exchange_failures;
        Evidence("phase 2: cycle %d: kelvaro_position gave %d", i, got);
      }
    }
    SleepMs(static_cast<long long>(delay * 1000));
    // Most cycles leave the lens and the port for the unload to close; the delayed ones
    // always, so that a check they caught in flight is the unload's to wait for.
    const bool lens_closed = code == KELVARO_OK && i % 3 == 1 && !wait;
    const bool flat_closed = i % 4 == 1 && !wait;
    if (lens_closed) lib.kelvaro_close(lens);
    if (code == KELVARO_OK && !lens_closed) ++left_open;
    if (flat_closed) lib.CloseComPort();

    const std::size_t flat_seen = flat_log.Count();
    const std::size_t handle_seen = handle_log.Count();
    const auto unload_start = Clock::now();
    lib.Unload();
    longest_unload_ms = std::max(longest_unload_ms, MillisecondsBetween(unload_start, Clock::now()));
    if (Library::Resident(options.library)) {
      if (++still_resident <= 5) Evidence("phase 2: cycle %d: still mapped after dlclose", i);
    }
    // Whether a check's read was still going when the unload began, from the lens's log:
    // its last request had no reply yet and was younger than the read's 500 ms, or had its
    // reply less than the 100 ms ago that ends a timed read (a little less, both, for the
    // moment a byte takes to cross).
    const auto in_flight = [&](LineLog& log, std::size_t seen, bool timed) {
      const std::vector<LineEvent> events = log.Since(0);
      const LineEvent* request = nullptr;
      const LineEvent* reply = nullptr;
      for (std::size_t k = 0; k < seen && k < events.size(); ++k) {
        if (events[k].at > unload_start) break;
        if (!events[k].to_host) {
          request = &events[k];
          reply = nullptr;
        } else if (request != nullptr) {
          reply = &events[k];
        }
      }
      if (request == nullptr) return false;
      if (reply == nullptr) return unload_start - request->at < std::chrono::milliseconds(480);
      return timed && unload_start - reply->at < std::chrono::milliseconds(90);
    };
    if (code_flat == KELVARO_OK && !flat_closed && in_flight(flat_log, flat_seen, true)) ++in_flight_flat;
    if (code == KELVARO_OK && !lens_closed && in_flight(handle_log, handle_seen, o.framing == KELVARO_FRAMING_TIMED)) {
      ++in_flight_lens;
    }
    flat_log.Drop(flat_log.Count());
    handle_log.Drop(handle_log.Count());

    if (first_leak_cycle < 0 && i % 10 == 0) {
      const int fds = SettleTo(fds_before, 300, [] { return OpenDescriptors(); });
      const int threads = SettleTo(threads_before, 300, [] { return static_cast<int>(ThreadIds().size()); });
      if (fds != fds_before || threads != threads_before) {
        first_leak_cycle = i;
        Evidence("phase 2: after cycle %d: descriptors %d (start %d), threads %d (start %d)", i, fds, fds_before,
                 threads, threads_before);
      }
    }
  }
  const double seconds = SecondsSince(start);
  const int fds_after = SettleTo(fds_before, 500, [] { return OpenDescriptors(); });
  const int threads_after = SettleTo(threads_before, 500, [] { return static_cast<int>(ThreadIds().size()); });
  const int fd_leak = fds_after - fds_before;
  const int thread_leak = threads_after - threads_before;
  const int in_flight = in_flight_flat + in_flight_lens;
  LineLog::Detach(flat_lens);
  LineLog::Detach(handle_lens);

  // No check ever in flight would mean the phase did not test the unload it is meant to.
  result.pass = fd_leak == 0 && thread_leak == 0 && still_resident == 0 && failures == 0 &&
                exchange_failures == 0 && in_flight > 0;
  result.line = Format(
      "phase 2 load/unload: %d cycles in %.1f s: %d loads, %d still mapped after dlclose, %d lenses left open "
      "for the unload, %d delayed cycles, checks in flight at unload %d (flat %d, lens %d), longest unload "
      "%lld ms, %d failed calls, %d/%d exchanges OK; descriptors %s, threads %s: %s",
      cycles, seconds, loads, still_resident, left_open, delayed, in_flight, in_flight_flat, in_flight_lens,
      longest_unload_ms, failures, exchanges - exchange_failures, exchanges, Counts(fds_before, fds_after).c_str(),
      Counts(threads_before, threads_after).c_str(), result.pass ? "PASS" : "FAIL");
  result.summary = Format("%d cycles: leaked descriptors %d, threads %d; not unloaded %d; in flight at unload %d",
                          cycles, fd_leak, thread_leak, still_resident, in_flight);
  return result;
}

}  // namespace soak
