// Phase 3: eight lenses that misbehave at random, each driven by a thread of its own with
// position queries. Every result is judged against what the lens actually put on the line
// for that request, from the lens's own log: the positions change between exchanges (each
// axis a value not seen lately), so a reply to an earlier request, or to another axis,
// shows as a wrong value.
#include <algorithm>
#include <deque>
#include <memory>
#include <random>
#include <thread>

#include "lens_sim.h"
#include "line_log.h"
#include "soak.h"

namespace soak {

namespace {

using lenssim::Bytes;
using lenssim::Hex;
using lenssim::Fault;
using std::chrono::milliseconds;

constexpr int kLenses = 8;
constexpr int kFirstTimedLens = 6;            // lenses 6 and 7 read with the 100 ms gap rule
constexpr bool IsNoisy(int lens) { return lens % 3 == 1; }  // 1, 4, 7: a noisy line
constexpr double kNoise = 0.08;

// Bytes stamped a moment before the exchange began may still have been on their way into
// the host's queue when the library emptied it; chunks stamped up to a moment after the call
// returned may have been read in it (the lens's thread stamps after its write).
constexpr auto kBefore = milliseconds(20);
constexpr auto kAfter = milliseconds(30);
// A reply is in time when it has wholly left well inside the 500 ms read, with no gap near
// the 100 ms that ends one.
constexpr auto kInTime = milliseconds(420);
constexpr auto kSmallGap = milliseconds(80);

enum Kind { kNone, kDelayShort, kDelayLong, kSplitShort, kSplitLong, kSilent, kBadChecksum, kWrongCode, kKinds };
const char* const kKindNames[kKinds] = {"none",      "delay<400", "delay>500", "split<100",
                                        "split>100", "silent",    "badsum",    "wrongcode"};
const char* const kAxisNames[3] = {"iris", "zoom", "focus"};

struct Tally {
  long exchanges = 0;
  long must_ok = 0;       // the whole reply, in time, on a line with nothing else: must give 0
  long must_timeout = 0;  // nothing at all on the line: must give 4
  long after_late = 0;    // bytes of an earlier request's reply arrived during the exchange
  long waited_out = 0;    // a late reply was let arrive before the next request
  long repeats = 0;       // requests the library sent once more, unsure whose the one reply was
  long lost = 0;          // must_ok exchanges that did not give 0
  long misattributed = 0; // code 0 with a value the lens did not send for this request
  long misattributed_quiet = 0;  // of those, on a line with no other reply arriving
  long spoiled = 0;       // code 0 although this request's reply was not one whole good frame
  long wrong_timeout = 0; // must_timeout exchanges that did not give 4
  long unanswered = 0;    // requests the lens never received
  long stray = 0;         // line traffic the soak could not account for
  long codes[kKinds][128] = {};

  void Add(const Tally& other) {
    exchanges += other.exchanges;
    must_ok += other.must_ok;
    must_timeout += other.must_timeout;
    after_late += other.after_late;
    waited_out += other.waited_out;
    repeats += other.repeats;
    lost += other.lost;
    misattributed += other.misattributed;
    misattributed_quiet += other.misattributed_quiet;
    spoiled += other.spoiled;
    wrong_timeout += other.wrong_timeout;
    unanswered += other.unanswered;
    stray += other.stray;
    for (int k = 0; k < kKinds; ++k) {
      for (int c = 0; c < 128; ++c) codes[k][c] += other.codes[k][c];
    }
  }
};

// A reply chunk from the lens's log with the exchange whose request it answers (`copy` 1:
// the library's repeat of that request), and whether some exchange's read certainly took it
// off the line.
struct Chunk {
  Clock::time_point at;
  long owner;
  int copy;
  Bytes bytes;
  bool read = false;
};

// A request on its way to the lens, and a reply not yet wholly sent.
struct Sent {
  long id;
  int chunks;
  Bytes request;
};
struct Owed {
  long id;
  int left;
  int copy;
};

class LensDriver {
 public:
  LensDriver(int index, const Library& lib, kelvaro_lens* lens, lenssim::Simulator& sim, LineLog& log,
             bool timed, std::uint32_t seed, bool trace)
      : index_(index), lib_(lib), lens_(lens), sim_(sim), log_(log), timed_(timed), trace_(trace), random_(seed) {
    base_ = sim_.State();
    base_.motor_speed = 0;
  }

  void Run(Clock::time_point end) {
    while (Clock::now() < end) Step();
  }

  Tally tally;

 private:
  int Random(int low, int high) { return std::uniform_int_distribution<int>(low, high)(random_); }

  // New positions for the three axes: each differs from the others and from every value of
  // the last 16 steps, so no earlier reply can carry it.
  void MovePositions() {
    for (int axis = 0; axis < 3; ++axis) {
      std::uint16_t value;
      do {
        value = static_cast<std::uint16_t>(Random(0, 4095));
      } while (std::find(recent_.begin(), recent_.end(), value) != recent_.end());
      position_[axis] = value;
      recent_.push_back(value);
    }
    while (recent_.size() > 48) recent_.pop_front();
    lenssim::LensState state = base_;
    state.iris = static_cast<std::uint16_t>(position_[0] << 4);
    state.zoom = static_cast<std::uint16_t>(position_[1] << 4);
    state.focus = static_cast<std::uint16_t>(position_[2] << 4);
    sim_.SetState(state);
  }

  Kind PickKind() {
    const int roll = Random(0, 99);
    if (roll < 30) return kNone;
    if (roll < 45) return kDelayShort;
    if (roll < 55) return kDelayLong;
    if (roll < 67) return kSplitShort;
    if (roll < 75) return kSplitLong;
    if (roll < 85) return kSilent;
    if (roll < 95) return kBadChecksum;
    return kWrongCode;
  }

  // Reads what the lens logged since last time and gives each reply chunk its owner: the
  // lens answers requests in order, one reply after the other.
  void Collect() {
    const std::vector<LineEvent> events = log_.Since(0);
    log_.Drop(events.size());
    for (const LineEvent& e : events) {
      if (!e.to_host) {
        // The library may send the request of the exchange under way once more; the lens
        // answers a repeat plainly, its fault having been spent on the first.
        if (sent_.empty() && arrived_ > 0 && repeated_ < arrived_ && e.bytes == last_request_) {
          repeated_ = arrived_;
          ++tally.repeats;
          owed_.push_back({arrived_, 1, 1});
          continue;
        }
        if (sent_.empty() || e.bytes != sent_.front().request) {
          ++tally.stray;
          Note(kStray, "a request the soak did not send: " + Hex(e.bytes));
          continue;
        }
        if (sent_.front().chunks > 0) owed_.push_back({sent_.front().id, sent_.front().chunks, 0});
        arrived_ = std::max(arrived_, sent_.front().id);
        last_request_ = sent_.front().request;
        sent_.pop_front();
        continue;
      }
      if (owed_.empty()) {
        ++tally.stray;
        Note(kStray, "reply bytes nobody asked for: " + Hex(e.bytes));
        continue;
      }
      chunks_.push_back({e.at, owed_.front().id, owed_.front().copy, e.bytes, false});
      if (--owed_.front().left == 0) owed_.pop_front();
    }
    // Chunks older than any exchange still to be judged are of no more use.
    while (!chunks_.empty() && Clock::now() - chunks_.front().at > std::chrono::seconds(5)) chunks_.pop_front();
  }

  int OwedChunks() const {
    int count = 0;
    for (const Owed& o : owed_) count += o.left;
    return count;
  }

  // The first few findings of each kind on a lens, with what was on its line.
  enum Finding {
    kStray,
    kUnanswered,
    kMisattributedLate,
    kMisattributedQuiet,
    kSpoiled,
    kLost,
    kNotTimeout,
    kFindings
  };
  void Note(Finding finding, const std::string& what) {
    if (noted_[finding]++ >= 3) return;
    Evidence("phase 3: lens %d: %s", index_, what.c_str());
  }

  void Step() {
    MovePositions();
    const int axis = Random(0, 2);
    const auto function = static_cast<std::uint8_t>(0x30 + axis);
    const Kind kind = PickKind();
    Fault fault;
    int chunks = 1;
    switch (kind) {
      case kNone: break;
      case kDelayShort: fault = Fault::Delay(Random(20, 350), 1); break;
      case kDelayLong: fault = Fault::Delay(Random(600, 900), 1); break;
      case kSplitShort:
        fault = Fault::Split(static_cast<std::size_t>(Random(1, 4)), Random(5, 60), 1);
        chunks = 2;
        break;
      case kSplitLong:
        fault = Fault::Split(static_cast<std::size_t>(Random(1, 4)), Random(200, 350), 1);
        chunks = 2;
        break;
      case kSilent: fault = Fault::Silent(1); chunks = 0; break;
      case kBadChecksum: fault = Fault::BadChecksum(1); break;
      case kWrongCode: fault = Fault::WrongCode(static_cast<std::uint8_t>(0x30 + (axis + Random(1, 2)) % 3), 1); break;
      case kKinds: break;
    }
    sim_.ClearFaults();
    if (kind != kNone) sim_.SetFault(function, fault);

    const long id = ++tally.exchanges;
    const Bytes request = {0x00, function, static_cast<std::uint8_t>(0x100 - function)};
    const std::uint16_t wire = static_cast<std::uint16_t>(position_[axis] << 4);
    const Bytes expected =
        lenssim::MakeFrame(function, {static_cast<std::uint8_t>(wire >> 8), static_cast<std::uint8_t>(wire & 0xFF)});
    sent_.push_back({id, chunks, request});

    unsigned short value = 0xFFFF;
    const auto t0 = Clock::now();
    const int code = lib_.kelvaro_position(lens_, axis, &value);
    const auto t1 = Clock::now();
    ++tally.codes[kind][code >= 0 && code < 128 ? code : 127];

    // Wait for the log to show the request, and this request's reply as far as it left by
    // just after the call (longer when the library claims a whole reply came).
    const auto own_logged = [&] {
      int count = 0;
      for (const Chunk& c : chunks_) count += c.owner == id && c.copy == 0;
      return count;
    };
    // Every exchange is judged on everything stamped up to kAfter past the call: a chunk the
    // library read just before returning may be stamped a moment after.
    const auto settle = t1 + (code == KELVARO_OK ? milliseconds(200) : kAfter);
    for (;;) {
      Collect();
      const bool request_in = arrived_ >= id;
      const auto now = Clock::now();
      if (request_in && own_logged() == chunks && now >= t1 + kAfter) break;
      if (now >= settle && (request_in || now >= t1 + milliseconds(300))) break;
      SleepMs(1);
    }
    if (arrived_ < id) {
      ++tally.unanswered;
      Note(kUnanswered,
           Format("exchange %ld (%s): the lens never received the request; code %d", id, kAxisNames[axis], code));
      sent_.clear();  // its reply would be taken for a later one's
      return;
    }

    std::vector<const Chunk*> mine;
    bool foreign = false;
    bool anything = false;
    for (const Chunk& c : chunks_) {
      const bool in_window = c.at >= t0 - kBefore && c.at <= t1 + kAfter && !c.read;
      if (c.owner == id && c.copy == 0 && c.at <= t1 + kAfter) mine.push_back(&c);
      if (in_window) anything = true;
      if (in_window && c.owner != id) foreign = true;
    }
    Bytes sent;
    for (const Chunk* c : mine) sent.insert(sent.end(), c->bytes.begin(), c->bytes.end());
    const bool whole = chunks > 0 && static_cast<int>(mine.size()) == chunks && sent == expected;
    // Whether this request's reply, or its repeat's, whenever it left, was one whole good frame.
    Bytes all_sent[2];
    int all_chunks[2] = {};
    for (const Chunk& c : chunks_) {
      if (c.owner != id) continue;
      all_sent[c.copy].insert(all_sent[c.copy].end(), c.bytes.begin(), c.bytes.end());
      ++all_chunks[c.copy];
    }
    const bool repeated = repeated_ == id;
    const bool repeat_good = repeated && all_chunks[1] == 1 && all_sent[1] == expected;
    const bool good_reply = (chunks > 0 && all_chunks[0] == chunks && all_sent[0] == expected) || repeat_good;
    // A repeat asked for the reply again: then that one too must have come whole by the end.
    bool repeat_in_time = !repeated;
    for (const Chunk& c : chunks_) {
      if (c.owner == id && c.copy == 1) repeat_in_time = repeat_good && c.at <= t1;
    }
    const bool in_time = whole && repeat_in_time && mine.front()->at - t0 <= kInTime &&
                         mine.back()->at - mine.front()->at <= kSmallGap;

    const auto describe = [&] {
      std::string line;
      for (const Chunk& c : chunks_) {
        if (c.at < t0 - milliseconds(1000) || c.at > t1 + kAfter) continue;
        line += Format(" %+lldms:%s%s", static_cast<long long>(MillisecondsBetween(t0, c.at)), Hex(c.bytes).c_str(),
                       c.owner == id ? (c.copy == 1 ? "(repeat's)" : "")
                                     : Format("(of #%ld%s)", c.owner, c.read ? ", read" : "").c_str());
      }
      return Format("exchange %ld (%s, %s%s, fault %s, %s): code %d value %u, lens held %u, call took %lld ms; "
                    "replies around it:%s",
                    id, kAxisNames[axis], Hex(request).c_str(), repeated ? " sent twice" : "", kKindNames[kind],
                    timed_ ? "timed" : "frame-ended",
                    code, static_cast<unsigned>(value), static_cast<unsigned>(position_[axis]),
                    static_cast<long long>(MillisecondsBetween(t0, t1)), line.empty() ? " none" : line.c_str());
    };

    if (trace_) Evidence("phase 3: lens %d: %s%s", index_, describe().c_str(), foreign ? " [late reply in it]" : "");
    if (foreign) ++tally.after_late;
    if (code == KELVARO_OK && value != position_[axis]) {
      ++tally.misattributed;
      if (!foreign) ++tally.misattributed_quiet;
      if (foreign) {
        Note(kMisattributedLate, "misattributed, an earlier reply arriving late: " + describe());
      } else {
        Note(kMisattributedQuiet, "misattributed on a quiet line: " + describe());
      }
    } else if (code == KELVARO_OK && !good_reply) {
      ++tally.spoiled;
      Note(kSpoiled, "accepted a reply that was not one whole good frame: " + describe());
    }
    if (!foreign && in_time) {
      ++tally.must_ok;
      if (code != KELVARO_OK) {
        ++tally.lost;
        Note(kLost, "lost: " + describe());
      }
    }
    if (!anything && mine.empty()) {
      ++tally.must_timeout;
      if (code != KELVARO_TIMEOUT) {
        ++tally.wrong_timeout;
        Note(kNotTimeout, "no reply byte came, yet not a time-out: " + describe());
      }
    }

    // What this exchange's read took off the line cannot reach the next one: its own reply
    // when it gave that reply's value; and when the read ran until the line went quiet (or
    // its time-out), every chunk that had left well before it ended.
    const bool correct = code == KELVARO_OK && value == position_[axis] && good_reply;
    const bool ran_to_quiet = timed_ || code == KELVARO_TIMEOUT || code == KELVARO_BAD_CHECKSUM ||
                              code == KELVARO_REPLY_TOO_SHORT;
    for (Chunk& c : chunks_) {
      if ((correct && c.owner == id) || (ran_to_quiet && c.at <= t1 - kAfter)) c.read = true;
    }

    // A reply still owed will land during the next exchange, unless it is let arrive first:
    // then it waits in the host's queue, which the next request must empty.
    if (!owed_.empty() && Random(0, 1) == 0) {
      ++tally.waited_out;
      const auto until = Clock::now() + milliseconds(1500);
      while (!owed_.empty() && Clock::now() < until) {
        SleepMs(5);
        Collect();
      }
      SleepMs(30);
    }
  }

  int index_;
  const Library& lib_;
  kelvaro_lens* lens_;
  lenssim::Simulator& sim_;
  LineLog& log_;
  bool timed_;
  bool trace_;
  std::mt19937 random_;
  lenssim::LensState base_;
  std::uint16_t position_[3] = {};
  std::deque<std::uint16_t> recent_;
  std::deque<Sent> sent_;
  std::deque<Owed> owed_;
  std::deque<Chunk> chunks_;
  long arrived_ = 0;  // the last exchange whose request the lens received
  Bytes last_request_;  // and that request
  long repeated_ = 0;   // the last exchange whose request the lens received twice
  int noted_[kFindings] = {};
};

}  // namespace

PhaseResult FaultyLenses(const Options& options) {
  const int seconds = options.short_run ? 60 : 600;
  PhaseResult result;
  Library lib;
  if (!LoadForPhase(lib, options, "phase 3 faults", result)) return result;
  Tally total;
  int opened = 0;
  {
    std::vector<std::unique_ptr<LineLog>> logs;
    std::vector<std::unique_ptr<lenssim::Simulator>> sims;
    std::vector<std::unique_ptr<LensDriver>> drivers;
    std::vector<kelvaro_lens*> lenses;
    for (int i = 0; i < kLenses; ++i) {
      logs.push_back(std::make_unique<LineLog>());
      sims.push_back(std::make_unique<lenssim::Simulator>());
      if (IsNoisy(i)) {
        lenssim::LineFaults line;
        line.noise = kNoise;
        line.seed = options.seed + static_cast<std::uint32_t>(i);
        sims[i]->SetLineFaults(line);
      }
      kelvaro_options o{};
      o.framing = i >= kFirstTimedLens ? KELVARO_FRAMING_TIMED : KELVARO_FRAMING_FRAME;
      kelvaro_lens* lens = nullptr;
      const int code = lib.kelvaro_open(sims[i]->DevicePath().c_str(), &o, &lens);
      if (code != KELVARO_OK) {
        Evidence("phase 3: lens %d: kelvaro_open gave %d", i, code);
        continue;
      }
      ++opened;
      lenses.push_back(lens);
      logs[i]->Attach(*sims[i]);
      drivers.push_back(std::make_unique<LensDriver>(i, lib, lens, *sims[i], *logs[i], i >= kFirstTimedLens,
                                                     options.seed * 31u + static_cast<std::uint32_t>(i),
                                                     options.trace_lens == i));
    }
    const auto end = Clock::now() + std::chrono::seconds(seconds);
    std::vector<std::thread> threads;
    for (auto& driver : drivers) threads.emplace_back([&driver, end] { driver->Run(end); });
    for (std::thread& t : threads) t.join();
    for (auto& driver : drivers) total.Add(driver->tally);
    for (kelvaro_lens* lens : lenses) lib.kelvaro_close(lens);
    for (auto& sim : sims) LineLog::Detach(*sim);
  }
  lib.Unload();

  // What each kind of fault gave, for the record.
  std::string detail;
  for (int k = 0; k < kKinds; ++k) {
    detail += Format("%s%s:", k == 0 ? "" : "; ", kKindNames[k]);
    for (int c = 0; c < 128; ++c) {
      if (total.codes[k][c] != 0) detail += Format(" %d x%ld", c, total.codes[k][c]);
    }
  }
  Evidence("phase 3: codes by fault: %s", detail.c_str());

  // A run that never met a whole prompt reply, a silence or a late reply tested nothing.
  const bool covered = total.must_ok > 0 && total.must_timeout > 0 && total.after_late > 0;
  result.pass = opened == kLenses && covered && total.lost == 0 && total.misattributed == 0 && total.spoiled == 0 &&
                total.wrong_timeout == 0 && total.unanswered == 0 && total.stray == 0;
  result.line = Format(
      "phase 3 faults: %d lenses (%d frame-ended, %d timed, 3 noisy) for %d s: %ld exchanges (%ld owed a prompt "
      "0, %ld owed a time-out, %ld with a late reply arriving, %ld late replies let arrive first, %ld requests "
      "repeated); lost %ld, "
      "misattributed %ld (%ld with an earlier reply arriving late, %ld on a quiet line), spoiled replies accepted "
      "%ld, silences not timed out %ld, requests not received %ld, unaccounted line traffic %ld: %s",
      opened, kFirstTimedLens, kLenses - kFirstTimedLens, seconds, total.exchanges, total.must_ok, total.must_timeout,
      total.after_late, total.waited_out, total.repeats, total.lost, total.misattributed,
      total.misattributed - total.misattributed_quiet, total.misattributed_quiet, total.spoiled, total.wrong_timeout,
      total.unanswered, total.stray, result.pass ? "PASS" : "FAIL");
  result.summary = Format("%ld exchanges: lost %ld, misattributed %ld, spoiled accepted %ld, silences not timed "
                          "out %ld",
                          total.exchanges, total.lost, total.misattributed, total.spoiled, total.wrong_timeout);
  return result;
}

}  // namespace soak
