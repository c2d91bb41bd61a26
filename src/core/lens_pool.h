// The lenses of the handle interface: a fixed pool of link records, no heap. A handle
// carries its record's index and the generation of the open that gave it, so a handle that
// was closed, or never given, is recognised and its record never touched as a live lens.
#pragma once

#include "core/link_state.h"
#include "kelvaro.h"

namespace kelvaro {

struct LensRecord;

// Opens a lens on `port` in a free record. Returns 0, 101, 102, 7 or 5 (see kelvaro_open).
int OpenLens(const char* port, const kelvaro_options* options, kelvaro_lens** lens);

// Closes a live lens: waits for a call in flight and the lens's check. 0, or 101.
int CloseLens(kelvaro_lens* lens);

// The check's last result for a live, watched lens; 0 for any other handle. Takes no lock.
int LensConnected(kelvaro_lens* lens);

// A live lens with its lock held for as long as this lives; false for any other handle.
class HeldLens {
 public:
  explicit HeldLens(kelvaro_lens* lens);
  ~HeldLens();
  HeldLens(const HeldLens&) = delete;
  HeldLens& operator=(const HeldLens&) = delete;

  explicit operator bool() const { return record_ != nullptr; }
  LinkState& Link();

 private:
  LensRecord* record_ = nullptr;
};

}  // namespace kelvaro
