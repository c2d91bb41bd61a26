#include "core/lens_pool.h"

#include <atomic>
#include <cstdint>
#include <cstring>

#include "core/port.h"
#include "platform/loader.h"
#include "platform/lock.h"
#include "platform/serial.h"
#include "platform/timer.h"
#include "schedule/worker.h"

namespace kelvaro {

struct LensRecord {
  LinkState link;  // guarded by lock
  platform::TicketLock lock;
  Worker worker;
  CheckJob check = nullptr;  // what the worker's checks run; set before the first one
  const LensJobs* jobs = nullptr;  // a handle lens's; set before its worker starts
  // The live handle's value, 0 while closed: written under the lock, read without it only
  // by LensConnected.
  std::atomic<std::uintptr_t> handle{0};
  // Taken by an open, given back once the close has finished with the record.
  std::atomic<bool> claimed{false};
  std::uint32_t generation = 0;  // of the last open; guarded by lock
  // The name the check opens again after the device went away (empty: it does not).
  static constexpr std::size_t kMaxName = 260;
  char reopen_name[kMaxName + 1] = {};  // guarded by lock
};

namespace {

constexpr int kCheckPeriodMs = 1000;

// A handle is (generation << 8) | (index + 1): never 0, and after a record's close its old
// handles no longer match (until 2^24 more opens of the same record on 32-bit hosts).
constexpr unsigned kIndexBits = 8;
static_assert(KELVARO_MAX_LENSES < (1u << kIndexBits), "the pool index must fit its bits");

LensRecord g_flat;  // the flat functions' record; its lock is the library lock
LensRecord g_lenses[KELVARO_MAX_LENSES];

std::uintptr_t ValueOf(const kelvaro_lens* lens) { return reinterpret_cast<std::uintptr_t>(lens); }

// The record a handle names, or nullptr; 0 (NULL) names none.
LensRecord* RecordOf(const kelvaro_lens* lens) {
  const std::uintptr_t index = (ValueOf(lens) & ((1u << kIndexBits) - 1)) - 1;
  return index < KELVARO_MAX_LENSES ? &g_lenses[index] : nullptr;
}

// A fresh link for a new open: what the record held for an earlier lens is gone.
void ResetLink(LinkState& link, bool frame_ended) {
  link.port = platform::kNoPort;
  link.initialised = 1;  // the handle interface needs no initialisation call
  link.auto_connected = 0;
  link.ReplyValue = 0;
  std::memset(link.reply, 0, sizeof link.reply);
  link.reply_count = 0;
  link.LensNameText[0] = '\0';
  link.policy = HandlePolicy(frame_ended);
  link.owed.Clear();
  link.pending_count = 0;
  link.stats.Clear();
  link.streaming = false;
  link.stream_replies = link.stream_replies_checked = 0;
}

int IndexOf(const LensRecord& record) { return static_cast<int>(&record - g_lenses); }

// Where a running thread holds the DLL (Windows), a lens's worker starts only once it has
// something to run: the check, or a stream or motion. So a lens that never needs it does not
// keep the DLL loaded, and the unload still closes it. Elsewhere it starts at the open.
#ifdef _WIN32
constexpr bool kWorkerAtOpen = false;
#else
constexpr bool kWorkerAtOpen = true;
#endif

// A worker's check, with the record's lock held.
void RunCheck(void* context) {
  LensRecord& record = *static_cast<LensRecord*>(context);
  record.check(record.link, record.reopen_name[0] != '\0' ? record.reopen_name : nullptr);
}

// A handle lens's timed work, with the record's lock held.
platform::MonotonicClock::time_point RunActivity(void* context) {
  LensRecord& record = *static_cast<LensRecord*>(context);
  return record.jobs->activity(record.link, IndexOf(record));
}

// With the record's lock held: its worker runs, or, when the system refuses a thread, is
// left as it was (not running).
bool StartWorker(LensRecord& record) {
  if (record.worker.Running()) return true;
  if (record.worker.Start(record.lock) && record.worker.AddTimed(RunActivity, &record)) return true;
  record.worker.RequestStop();
  record.worker.Join();
  return false;
}

// The one way a record stops serving, at a close and at unload: with its lock held (when
// `locked`), the handle stops working, the worker is told to stop and the port closes. Then,
// without the lock, a job waiting for it gives up (woken, or by itself when the lock could not
// be taken: see TicketLock::WakeWaiters), the worker is waited for and the record given back.
void Retire(LensRecord& record, bool locked) {
  record.handle.store(0);
  record.worker.RequestStop();
  if (locked) {
    if (record.jobs != nullptr) record.jobs->end(record.link, IndexOf(record));
    CloseLinkPort(record.link);
    record.lock.Unlock();
    record.lock.WakeWaiters();
  }
  record.worker.Join();
  if (locked) record.claimed.store(false);
}

#ifdef _WIN32
// On Windows the flat check is the SetTimer tick of the host's thread, which hosts rely on;
// it runs the same check as the worker does elsewhere.
void FlatTimerTick() {
  FlatLens flat;
  RunCheck(&g_flat);
}
#endif

// fork() copies the flat record but not its worker: the child's copy of the lock starts
// free, and the child carries on without checks.
void ForkPrepare() { g_flat.lock.ForkPrepare(); }
void ForkParent() { g_flat.lock.ForkParent(); }
void ForkChild() {
  g_flat.lock.ForkChild();
  g_flat.worker.ForkChild();
}

// Loading sets up the flat record, its worker included, so InitializeLensControl allocates
// nothing. Unloading (dlclose, or the process's exit) retires every record: devices are free
// again and no job outlives the code. A lock never let go (a thread stuck in a call) is
// waited for a bounded time; that record's port is then left to the system.
constexpr int kUnloadWaitMs = 3000;

struct Library {
  Library() {
    g_flat.link.policy = kFlatPolicy;
#ifndef _WIN32
    g_flat.worker.Start(g_flat.lock);
#endif
    platform::OnFork(ForkPrepare, ForkParent, ForkChild);
  }
  ~Library() {
    if (platform::ProcessExiting()) return;  // the system closes the ports itself
    const bool flat_locked = g_flat.lock.LockUnless(nullptr, kUnloadWaitMs);
#ifdef _WIN32
    platform::StopAllTimers();  // a FreeLibrary'd host goes on pumping messages
#endif
    Retire(g_flat, flat_locked);
    for (LensRecord& record : g_lenses) {
      if (record.handle.load() == 0) continue;
      Retire(record, record.lock.LockUnless(nullptr, kUnloadWaitMs));
    }
  }
} g_library;

}  // namespace

int OpenLens(const char* port, const kelvaro_options* options, const LensJobs& jobs, kelvaro_lens** lens) {
  if (lens == nullptr) return KELVARO_INVALID_ARGUMENT;
  *lens = nullptr;
  const kelvaro_options chosen = options != nullptr ? *options : kelvaro_options{};
  const bool framing_known = chosen.framing == KELVARO_FRAMING_FRAME || chosen.framing == KELVARO_FRAMING_TIMED;
  if (!framing_known || !platform::PortNameWellFormed(port)) return KELVARO_INVALID_ARGUMENT;
  // Opening again needs the check, and a name short enough to keep.
  const bool reopen = chosen.reopen != 0;
  if (reopen && (chosen.watch == 0 || std::strlen(port) > LensRecord::kMaxName)) return KELVARO_INVALID_ARGUMENT;

  LensRecord* record = nullptr;
  std::uintptr_t index = 0;
  for (; index < KELVARO_MAX_LENSES; ++index) {
    bool free = false;
    if (g_lenses[index].claimed.compare_exchange_strong(free, true)) {
      record = &g_lenses[index];
      break;
    }
  }
  if (record == nullptr) return KELVARO_NO_FREE_LENS;

  record->lock.Lock();
  ResetLink(record->link, chosen.framing == KELVARO_FRAMING_FRAME);
  record->check = jobs.check;
  record->jobs = nullptr;  // nothing of the interface's to end until the worker runs
  record->reopen_name[0] = '\0';
  if (reopen) std::memcpy(record->reopen_name, port, std::strlen(port) + 1);
  int code = OpenLinkPort(record->link, port);
  if (code == KELVARO_OK) {
    record->jobs = &jobs;
    const bool needs_worker = kWorkerAtOpen || chosen.watch != 0;
    const bool started = !needs_worker || (StartWorker(*record) && (chosen.watch == 0 ||
                                                                    record->worker.Add(RunCheck, record, kCheckPeriodMs)));
    if (!started) code = KELVARO_NO_FREE_LENS;
  }
  if (code != KELVARO_OK) {
    Retire(*record, true);
    return code;
  }
  ++record->generation;
  const std::uintptr_t value = (static_cast<std::uintptr_t>(record->generation) << kIndexBits) | (index + 1);
  record->handle.store(value);
  record->lock.Unlock();
  *lens = reinterpret_cast<kelvaro_lens*>(value);
  return KELVARO_OK;
}

int CloseLens(kelvaro_lens* lens) {
  LensRecord* record = RecordOf(lens);
  if (record == nullptr) return KELVARO_INVALID_ARGUMENT;
  record->lock.Lock();
  if (record->handle.load() != ValueOf(lens)) {
    record->lock.Unlock();
    return KELVARO_INVALID_ARGUMENT;
  }
  Retire(*record, true);
  return KELVARO_OK;
}

int LensConnected(kelvaro_lens* lens) {
  const LensRecord* record = RecordOf(lens);
  if (record == nullptr || record->handle.load() != ValueOf(lens)) return 0;
  return record->link.auto_connected.load() != 0 ? 1 : 0;
}

int LiveLensIndex(kelvaro_lens* lens) {
  const LensRecord* record = RecordOf(lens);
  if (record == nullptr || record->handle.load() != ValueOf(lens)) return -1;
  return IndexOf(*record);
}

int LensStats(kelvaro_lens* lens, kelvaro_lens_stats& stats) {
  const int index = LiveLensIndex(lens);
  if (index < 0) return KELVARO_INVALID_ARGUMENT;
  g_lenses[index].link.stats.CopyTo(stats);
  return KELVARO_OK;
}

bool StartFlatCheck(CheckJob check) {
  g_flat.check = check;
#ifdef _WIN32
  return platform::StartPeriodicTimer(FlatTimerTick);
#else
  return g_flat.worker.Add(RunCheck, &g_flat, kCheckPeriodMs);
#endif
}

HeldLens::HeldLens(kelvaro_lens* lens) {
  LensRecord* record = RecordOf(lens);
  if (record == nullptr) return;
  record->lock.Lock();
  if (record->handle.load() == ValueOf(lens)) {
    record_ = record;
  } else {
    record->lock.Unlock();
  }
}

HeldLens::~HeldLens() {
  if (record_ != nullptr) record_->lock.Unlock();
}

LinkState& HeldLens::Link() { return record_->link; }

int HeldLens::Index() const { return IndexOf(*record_); }

bool HeldLens::StartWorker() { return kelvaro::StartWorker(*record_); }

void HeldLens::Wake() { record_->worker.Wake(); }

FlatLens::FlatLens() { g_flat.lock.Lock(); }

FlatLens::~FlatLens() { g_flat.lock.Unlock(); }

LinkState& FlatLens::Link() { return g_flat.link; }

}  // namespace kelvaro
