#include "core/lens_pool.h"

#include <atomic>
#include <cstdint>
#include <cstring>

#include "autoconnect/auto_connect.h"
#include "core/port.h"
#include "platform/loader.h"
#include "platform/lock.h"
#include "platform/serial.h"
#include "platform/timer.h"

namespace kelvaro {

struct LensRecord {
  LinkState link;  // guarded by lock
  platform::LensLock lock;
  platform::CheckThread check;
  // The live handle's value, 0 while closed: written under the lock, read without it only
  // by LensConnected.
  std::atomic<std::uintptr_t> handle{0};
  // Taken by an open, given back once the close has finished with the record.
  std::atomic<bool> claimed{false};
  std::uint32_t generation = 0;  // of the last open; guarded by lock
  bool watched = false;          // guarded by lock
  // The name the check opens again after the device went away (empty: it does not).
  static constexpr std::size_t kMaxName = 260;
  char reopen_name[kMaxName + 1] = {};  // guarded by lock
};

namespace {

// A handle is (generation << 8) | (index + 1): never 0, and after a record's close its old
// handles no longer match (until 2^24 more opens of the same record on 32-bit hosts).
constexpr unsigned kIndexBits = 8;
static_assert(KELVARO_MAX_LENSES < (1u << kIndexBits), "the pool index must fit its bits");

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
  link.frame_ended = frame_ended;
  link.discard_stale = true;
  link.late_replies_until = {};
}

// The lens's once-a-second check, on its own thread. Gives up waiting for the lock as soon
// as the lens is closing.
void CheckTick(void* context) {
  LensRecord& record = *static_cast<LensRecord*>(context);
  if (!record.lock.LockUnless(&record.check.Stopping(), -1)) return;
  if (!record.check.Stopping()) {
    CheckLens(record.link, record.reopen_name[0] != '\0' ? record.reopen_name : nullptr);
  }
  record.lock.Unlock();
}

// With the record's lock held: the handle stops working, the check is told to stop and the
// port closes. Then, without the lock, waits for the check thread and frees the record.
void Retire(LensRecord& record, bool locked) {
  record.handle.store(0);
  record.check.RequestStop();
  if (locked) {
    CloseLinkPort(record.link);
    record.lock.Unlock();
  }
  record.lock.WakeWaiters();  // a check waiting for the lock gives up
  if (record.watched) record.check.Join();
  record.watched = false;
  if (locked) record.claimed.store(false);
}

// At unload (dlclose, or the process's exit) every lens still open closes, so its device is
// free again and no check outlives the code. A lock never let go (a thread stuck in a call)
// is waited for a bounded time; that lens's port is then left to the system.
constexpr int kUnloadWaitMs = 3000;

struct CloseLensesAtUnload {
  ~CloseLensesAtUnload() {
    if (platform::ProcessExiting()) return;  // the system closes the ports itself
    for (LensRecord& record : g_lenses) {
      if (record.handle.load() == 0) continue;
      Retire(record, record.lock.LockUnless(nullptr, kUnloadWaitMs));
    }
  }
} g_close_lenses_at_unload;

}  // namespace

int OpenLens(const char* port, const kelvaro_options* options, kelvaro_lens** lens) {
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
  record->reopen_name[0] = '\0';
  if (reopen) std::memcpy(record->reopen_name, port, std::strlen(port) + 1);
  int code = OpenLinkPort(record->link, port);
  record->watched = code == KELVARO_OK && chosen.watch != 0;
  if (record->watched && !record->check.Start(CheckTick, record)) {
    record->watched = false;
    code = KELVARO_NO_FREE_LENS;
  }
  if (code != KELVARO_OK) {
    CloseLinkPort(record->link);  // a device that refused its settings is not kept
    record->lock.Unlock();
    record->claimed.store(false);
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

}  // namespace kelvaro
