// Phases 4 and 5: a lens whose device goes away and comes back, by itself to the watched
// lens's reopen: a USB adapter unplugged and plugged back in behind a stable name, and the
// serial device server in front of the lens killed and started again.
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <random>

#include "lens_sim.h"
#include "line_log.h"
#include "ser2net.h"
#include "soak.h"

namespace soak {

namespace {

using lenssim::Bytes;
using lenssim::Hex;

const Bytes kHandshake = {0x00, 0x01, 0xFF};
constexpr double kCheckPeriodMs = 1000.0;

// Whether the host's own calls work again after a recovery; evidence when not.
bool AnswersAgain(const Library& lib, kelvaro_lens* lens, int axis, int phase, int cycle) {
  unsigned short position = 0;
  const int got = lib.kelvaro_position(lens, axis, &position);
  if (got != KELVARO_OK) Evidence("phase %d: cycle %d: kelvaro_position gave %d after the recovery", phase, cycle, got);
  return got == KELVARO_OK;
}

}  // namespace

PhaseResult UnplugReplug(const Options& options) {
  const int cycles = options.short_run ? 10 : 100;
  PhaseResult result;
  Library lib;
  if (!LoadForPhase(lib, options, "phase 4 unplug/replug", result)) return result;
  int noticed = 0, recovered = 0, within_two = 0, exchanges_ok = 0, max_checks = 0, total_checks = 0;
  double max_recovery_s = 0, max_notice_s = 0;
  bool started = false;
  const std::string link = options.scratch + "/lens";
  {
    LineLog log;
    lenssim::Simulator sim;
    lenssim::LensState state = sim.State();
    state.motor_speed = 0;
    sim.SetState(state);
    log.Attach(sim);
    bool pointed = Point(link, sim.DevicePath());
    sim.OnReplug([&](const std::string& device) { pointed = Point(link, device) && pointed; });

    kelvaro_options o{};
    o.framing = KELVARO_FRAMING_FRAME;
    o.watch = 1;
    o.reopen = 1;
    kelvaro_lens* lens = nullptr;
    const int code = lib.kelvaro_open(link.c_str(), &o, &lens);
    started = code == KELVARO_OK && WaitUntil(3000, [&] { return lib.kelvaro_is_connected(lens) == 1; });
    if (!started) Evidence("phase 4: the lens behind %s did not connect (open gave %d)", link.c_str(), code);
    std::mt19937 random(options.seed);
    for (int cycle = 0; started && cycle < cycles; ++cycle) {
      log.Drop(log.Count());
      const auto unplugged = Clock::now();
      sim.HangUp();
      // The check that finds the lens gone marks the checks' schedule: they follow it a
      // period apart. It is seen here within the 2 ms of a poll.
      Clock::time_point noticed_at{};
      if (!WaitUntil(3000, [&] { return lib.kelvaro_is_connected(lens) == 0; })) {
        Evidence("phase 4: cycle %d: still connected 3 s after the unplug", cycle);
      } else {
        noticed_at = Clock::now();
        ++noticed;
        max_notice_s = std::max(max_notice_s, SecondsSince(unplugged));
      }
      // Every other time the lens stays away a while, so some checks find nothing to open;
      // never close to a check, where which side of it the replug fell would be a guess.
      if (cycle % 2 == 1) {
        const int away = std::uniform_int_distribution<int>(100, 1300)(random);
        SleepMs(away < 900 ? away : away + 200);
      }
      sim.Replug();
      const auto replugged = Clock::now();
      if (!WaitUntil(5000, [&] { return lib.kelvaro_is_connected(lens) == 1; })) {
        Evidence("phase 4: cycle %d: not connected 5 s after the replug", cycle);
        continue;
      }
      const auto connected = Clock::now();
      ++recovered;
      max_recovery_s = std::max(max_recovery_s, std::chrono::duration<double>(connected - replugged).count());
      // The handshake that brought it back came with a check: the checks after the replug
      // up to it are those after the one that found the lens gone, less those before the replug.
      Clock::time_point handshake{};
      for (const LineEvent& e : log.Since(0)) {
        if (!e.to_host && e.bytes == kHandshake && e.at <= connected) handshake = e.at;
      }
      const auto periods = [&](Clock::time_point t) {
        return std::chrono::duration<double, std::milli>(t - noticed_at).count() / kCheckPeriodMs;
      };
      int checks = -1;
      if (noticed_at != Clock::time_point{} && handshake > replugged) {
        checks = static_cast<int>(std::lround(periods(handshake)) - static_cast<long>(std::floor(periods(replugged))));
      } else {
        Evidence("phase 4: cycle %d: no handshake seen after the replug", cycle);
      }
      if (checks >= 1 && checks <= 2) ++within_two;
      if (checks > 0) total_checks += checks;
      max_checks = std::max(max_checks, checks);
      if (checks != 1) {
        // The lens's side of it, in periods from the check that found it gone.
        std::string frames;
        for (const LineEvent& e : log.Since(0)) {
          if (!e.to_host) frames += Format(" %.3f:%s", periods(e.at), Hex(e.bytes).c_str());
        }
        Evidence("phase 4: cycle %d: back after %d checks (%.3f s after the replug, which came %.3f periods after "
                 "the check that found the lens gone; frames since:%s)",
                 cycle, checks, std::chrono::duration<double>(connected - replugged).count(), periods(replugged),
                 frames.c_str());
      }
      exchanges_ok += AnswersAgain(lib, lens, KELVARO_IRIS, 4, cycle);
    }
    if (lens != nullptr) lib.kelvaro_close(lens);
    LineLog::Detach(sim);
    if (!pointed) Evidence("phase 4: the link could not always be re-pointed");
    started = started && pointed;
  }
  unlink(link.c_str());
  lib.Unload();

  result.pass = started && noticed == cycles && recovered == cycles && within_two == cycles && exchanges_ok == cycles;
  result.line = Format(
      "phase 4 unplug/replug: %d cycles: unplug noticed %d/%d (max %.2f s), recovered %d/%d, within two checks "
      "%d/%d (max %d checks, mean %.2f), longest recovery %.2f s after the replug, exchanges after recovery %d/%d "
      "OK: %s",
      cycles, noticed, cycles, max_notice_s, recovered, cycles, within_two, cycles, max_checks,
      recovered > 0 ? static_cast<double>(total_checks) / recovered : 0.0, max_recovery_s, exchanges_ok, cycles,
      result.pass ? "PASS" : "FAIL");
  result.summary = Format("%d unplugs: recovered %d, within two checks %d (max %d checks, %.2f s)", cycles,
                          recovered, within_two, max_checks, max_recovery_s);
  return result;
}

PhaseResult Ser2netRestarts(const Options& options) {
  const int cycles = options.short_run ? 5 : 50;
  constexpr int kRecoveryBoundMs = 10000;
  PhaseResult result;
  if (options.ser2net.empty() || access(options.ser2net.c_str(), X_OK) != 0) {
    result.line = "phase 5 ser2net restarts: no ser2net program to run (" + options.ser2net + ")";
    result.summary = "not run";
    return result;
  }
  Library lib;
  if (!LoadForPhase(lib, options, "phase 5 ser2net restarts", result)) return result;
  int restarted = 0, noticed = 0, recovered = 0, exchanges_ok = 0;
  double max_after_restart_s = 0, max_after_kill_s = 0;
  bool started = false;
  {
    lenssim::Simulator sim;
    lenssim::LensState state = sim.State();
    state.motor_speed = 0;
    sim.SetState(state);
    lenssim::Ser2net server(options.ser2net, options.scratch, sim.DevicePath());
    kelvaro_lens* lens = nullptr;
    int code = -1;
    if (server.Start()) {
      kelvaro_options o{};
      o.framing = KELVARO_FRAMING_FRAME;
      o.watch = 1;
      o.reopen = 1;
      code = lib.kelvaro_open(server.Url(true).c_str(), &o, &lens);
      started = code == KELVARO_OK && WaitUntil(5000, [&] { return lib.kelvaro_is_connected(lens) == 1; });
    }
    if (!started) Evidence("phase 5: the lens behind ser2net did not connect (open gave %d)", code);
    for (int cycle = 0; started && cycle < cycles; ++cycle) {
      const auto killed = Clock::now();
      server.Stop();
      // Half the time the server is back before the check has seen it go; either way the
      // check must see the old connection gone before "connected" means the new one.
      const auto gone = [&] { return WaitUntil(3000, [&] { return lib.kelvaro_is_connected(lens) == 0; }); };
      const bool restart_first = cycle % 2 == 1;
      bool seen_gone = restart_first || gone();
      const bool listening_again = server.Start();
      const auto listening = Clock::now();
      if (restart_first) seen_gone = gone();
      if (seen_gone) {
        ++noticed;
      } else {
        Evidence("phase 5: cycle %d: still connected 3 s after ser2net was killed", cycle);
      }
      if (!listening_again) {
        Evidence("phase 5: cycle %d: ser2net did not listen again", cycle);
        continue;
      }
      ++restarted;
      if (!seen_gone) continue;
      if (!WaitUntil(kRecoveryBoundMs, [&] { return lib.kelvaro_is_connected(lens) == 1; })) {
        Evidence("phase 5: cycle %d: not connected %d s after ser2net listened again", cycle, kRecoveryBoundMs / 1000);
        continue;
      }
      const auto connected = Clock::now();
      ++recovered;
      max_after_restart_s = std::max(max_after_restart_s, std::chrono::duration<double>(connected - listening).count());
      max_after_kill_s = std::max(max_after_kill_s, std::chrono::duration<double>(connected - killed).count());
      exchanges_ok += AnswersAgain(lib, lens, KELVARO_ZOOM, 5, cycle);
    }
    if (lens != nullptr) lib.kelvaro_close(lens);
  }
  lib.Unload();

  result.pass = started && restarted == cycles && noticed == cycles && recovered == cycles && exchanges_ok == cycles;
  result.line = Format(
      "phase 5 ser2net restarts: %d kills of ser2net in front of an rfc2217:// lens (watch, reopen; half "
      "restarted before the check saw it go): restarted %d/%d, loss noticed %d/%d, recovered %d/%d, longest "
      "%.2f s after ser2net listened again (%.2f s after the kill), exchanges after recovery %d/%d OK: %s",
      cycles, restarted, cycles, noticed, cycles, recovered, cycles, max_after_restart_s, max_after_kill_s,
      exchanges_ok, cycles, result.pass ? "PASS" : "FAIL");
  result.summary = Format("%d restarts: recovered %d (max %.2f s after the restart)", cycles, recovered,
                          max_after_restart_s);
  return result;
}

}  // namespace soak
