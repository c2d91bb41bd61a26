// A simulated lens: serves the lens side of the serial protocol on a pseudo-terminal or a
// TCP port (line.h).
//
// It knows the protocol only from the lens's side and shares no code with the library,
// so a fault in one cannot hide the same fault in the other.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "line.h"

namespace lenssim {

using Bytes = std::vector<std::uint8_t>;

// Frame helpers from the lens's side: length byte, function code, data, checksum.
std::uint8_t Checksum(const std::uint8_t* bytes, std::size_t count);
Bytes MakeFrame(std::uint8_t function, const Bytes& data);
// The bytes as lower-case hex digits, two to a byte: "0031cf".
std::string Hex(const Bytes& bytes);

// Scaled number as the lens stores it: low 12 bits mantissa, top 4 bits a signed exponent.
std::uint16_t EncodeScaled(int mantissa, int exponent);

// What the lens knows and remembers. Positions are wire values (position << 4).
struct LensState {
  std::uint16_t iris = 0x8000;
  std::uint16_t zoom = 0x8000;
  std::uint16_t focus = 0x8000;
  std::uint8_t switches[5] = {0x0E, 0x00, 0xDF, 0xFF, 0xF8};  // indexed by switch number
  std::string name = "Simulated Zoom Lens 10-200";           // 0x11 carries the first part
  std::size_t name_part = 15;                                 // characters per 0x11 reply
  std::uint16_t aperture = 0xE000;                            // 0x13: f/2.00
  std::uint16_t focal_tele = 0xD0C8;                          // 0x14: 200 mm (200 x 10^-3 m)
  std::uint16_t focal_wide = 0xD00A;                          // 0x15: 10 mm
  std::uint16_t mod = 0xD384;                                 // 0x16: 0.9 m
  // Motors move towards their targets at this many wire units per second; 0 moves at once.
  int motor_speed = 0;
};

// A motor speed like a real lens's: the whole travel (0 to 4095) in under three seconds.
constexpr int kTypicalMotorSpeed = 1500 * 16;

// The fastest line SetBaud takes: beyond what serial adapters do.
constexpr int kMaxBaud = 4000000;

// The three motors, in the order of their function codes (0x20/0x30 is the iris).
enum class Axis { kIris = 0, kZoom = 1, kFocus = 2 };

// Standing misbehaviour of the whole lens, on top of any per-code Fault. ClearFaults keeps it.
struct LineFaults {
  bool silent = false;     // answers nothing (requests still take effect)
  int delay_ms = 0;        // every reply leaves this much later, in order
  double noise = 0.0;      // chance, 0 to 1, that a reply goes out with a wrong checksum byte
  std::uint32_t seed = 1;  // of the noise, so that a noisy run can be repeated
};

// Which way a traced frame went.
enum class Direction { kToLens, kToHost };

// A scripted misbehaviour for replies to one function code. It applies to requests with a
// good checksum; the request still takes effect (a move still moves). For a code the lens
// does not answer, only kRaw sends anything. Replies leave in order: a delayed reply holds
// back the ones after it, as a lens that answers one request at a time would.
struct Fault {
  enum class Kind {
    kSilent,       // no reply at all
    kDelay,        // the normal reply after delay_ms
    kSplit,        // the normal reply in two chunks: split_at bytes, gap of delay_ms, the rest
    kBadChecksum,  // the normal reply with its checksum byte flipped
    kWrongCode,    // the normal reply carrying function code `code`, checksum made right
    kShort,        // only the first `length` bytes of the normal reply
    kRaw,          // exactly `raw`, whatever the request
  };
  Kind kind = Kind::kSilent;
  int delay_ms = 0;
  std::size_t split_at = 0;
  std::uint8_t code = 0;
  std::size_t length = 0;
  Bytes raw;
  int times = -1;  // how many replies it applies to; -1 until cleared

  // Shorthands for scripting: Fault::Delay(600), Fault::Split(2, 200, 1), ...
  static Fault Silent(int times = -1);
  static Fault Delay(int delay_ms, int times = -1);
  static Fault Split(std::size_t split_at, int delay_ms, int times = -1);
  static Fault BadChecksum(int times = -1);
  static Fault WrongCode(std::uint8_t code, int times = -1);
  static Fault Short(std::size_t length, int times = -1);
  static Fault Raw(Bytes raw, int times = -1);
};

// The lens on a line. A server thread answers every request frame as it arrives.
// Requests: moves 0x20-0x22 (2 data bytes), switch sets 0x40/0x42/0x43/0x44 (1 byte), handshake,
// queries and identity 0x01, 0x11-0x16, 0x30-0x32, 0x50/0x52/0x53/0x54 (no data). A request with
// an unknown code, a data length other than these, or a wrong checksum is recorded, not answered.
// A partial frame followed by 100 ms of silence is recorded as it stands and dropped.
class Simulator {
 public:
#ifndef _WIN32
  Simulator();  // opens a pseudo-terminal (raw) and starts serving; throws on failure
#endif
  // Serves on the line `open_line` opens (again after each HangUp and Replug).
  explicit Simulator(LineOpener open_line);
  ~Simulator();  // stops serving and closes both sides
  Simulator(const Simulator&) = delete;
  Simulator& operator=(const Simulator&) = delete;

  // What a host opens, e.g. /dev/pts/7 or tcp://127.0.0.1:4001.
  const std::string& DevicePath() const;

  LensState State();                    // a snapshot, motors advanced to now
  void SetState(const LensState& state);  // motors stop at the given positions

  void SetFault(std::uint8_t function, const Fault& fault);  // replaces any fault for it
  void ClearFaults();

  // Every request frame received, in order, as exact bytes (including ones with bad checksums).
  std::vector<Bytes> Received();
  void ClearReceived();
  // Waits until at least `count` frames have been received or timeout_ms passes; true if reached.
  bool WaitForFrames(std::size_t count, int timeout_ms);

  // Sends bytes unasked, as a lens with a stale reply in the line would.
  void SendUnsolicited(const Bytes& bytes);

  // Closes the lens side, as an unplugged adapter does: the host side sees hang-up / EIO.
  void HangUp();
  // Plugs the lens back in after HangUp, as a new adapter: a new pseudo-terminal (so
  // DevicePath() changes) or the same TCP port, served with the state, faults and frames the lens had. Then calls
  // the hook set by OnReplug with the new path. Does nothing while plugged in.
  void Replug();
  using ReplugHook = std::function<void(const std::string& device)>;
  void OnReplug(ReplugHook hook);

  // Starts a motor towards `target` (a wire value) as a move request would.
  void Move(Axis axis, std::uint16_t target);

  void SetLineFaults(const LineFaults& faults);
  LineFaults GetLineFaults();

  // Makes the line as slow as a serial line at `baud` (0 to kMaxBaud), 8N1 (10 bits a byte); 0 (the default)
  // as fast as the line goes. A request is heard once its bytes would have come in at that
  // rate, counted from its first byte; each reply byte leaves a byte time after the one before
  // it. Delays (a line's, a fault's) add to this.
  void SetBaud(int baud);
  int Baud();

  // Called on the server thread with the request's function code right after the last byte of
  // each reply has been written (not for SendUnsolicited). It must not call back into the
  // Simulator. An empty function turns it off.
  using ReplySent = std::function<void(std::uint8_t function)>;
  void OnReplySent(ReplySent hook);

  // Called on the server thread with every request frame as it is recorded (also partial
  // ones and ones with bad checksums) and every reply chunk as it leaves. It must not call
  // back into the Simulator. An empty function turns tracing off.
  using Trace = std::function<void(Direction, const Bytes&)>;
  void SetTrace(Trace trace);

 private:
  struct Impl;
  std::unique_ptr<Impl> impl_;
};

}  // namespace lenssim
