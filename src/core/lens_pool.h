// The lens records: the flat functions' one record and the handle interface's fixed pool, no
// heap. Every record has the same parts: the link, its ticket lock, its worker (the periodic
// work, such as the check). A handle carries its record's index and the generation of the
// open that gave it, so a handle that was closed, or never given, is recognised and its
// record never touched as a live lens. At unload every record is retired the same way.
#pragma once

#include "core/link_state.h"
#include "platform/deadline.h"
#include "kelvaro.h"

namespace kelvaro {

// The periodic check a record's worker runs, with the record's lock held (the caller's
// choice: core does not know what a check asks of the lens). `reopen_name` is the name to
// open again when the device has gone, or nullptr.
using CheckJob = void (*)(LinkState& link, const char* reopen_name);

// What a handle lens's worker runs, with the record's lock held; `index` names the lens's
// record (0 to KELVARO_MAX_LENSES - 1), for the interface's own state of that lens.
struct LensJobs {
  CheckJob check;  // once a second, with `watch`
  // The lens's own timed work (streams, motion): what is due now; returns when it is next
  // due (TimePoint::max(): not until HeldLens::Wake).
  platform::MonotonicClock::time_point (*activity)(LinkState& link, int index);
  // That work ends: at the close and at unload.
  void (*end)(LinkState& link, int index);
};

// Opens a lens on `port` in a free record; its worker runs `jobs`. Returns 0, 101, 102, 7 or
// 5 (see kelvaro_open).
int OpenLens(const char* port, const kelvaro_options* options, const LensJobs& jobs, kelvaro_lens** lens);

// Closes a live lens: waits for a call in flight and the lens's worker. 0, or 101.
int CloseLens(kelvaro_lens* lens);

// The check's last result for a live, watched lens; 0 for any other handle. Takes no lock.
int LensConnected(kelvaro_lens* lens);

// The record index of a live lens, or -1. Takes no lock: for what the interface reads
// without waiting for the lens, and checks again on its own terms.
int LiveLensIndex(kelvaro_lens* lens);

// Copies a live lens's exchange counters without waiting for it. 0, or 101.
int LensStats(kelvaro_lens* lens, kelvaro_lens_stats& stats);

// One more library-wide check of the flat functions' link, once a second from one period
// from now; call it holding FlatLens. False if refused.
bool StartFlatCheck(CheckJob check);

// A live lens with its lock held for as long as this lives; false for any other handle.
class HeldLens {
 public:
  explicit HeldLens(kelvaro_lens* lens);
  ~HeldLens();
  HeldLens(const HeldLens&) = delete;
  HeldLens& operator=(const HeldLens&) = delete;

  explicit operator bool() const { return record_ != nullptr; }
  LinkState& Link();
  int Index() const;
  // Before the lens's timed work starts: its worker runs (it may start only now, see
  // lens_pool.cpp). False when the system refuses a thread.
  bool StartWorker();
  // The lens's timed work is due now (it changed).
  void Wake();

 private:
  struct LensRecord* record_ = nullptr;
};

// The flat functions' link with the library lock held for as long as this lives.
class FlatLens {
 public:
  FlatLens();
  ~FlatLens();
  FlatLens(const FlatLens&) = delete;
  FlatLens& operator=(const FlatLens&) = delete;

  LinkState& Link();
};

}  // namespace kelvaro
