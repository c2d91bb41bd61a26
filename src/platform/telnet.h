// The Telnet side of a serial device server that speaks COM port control: the commands a
// client sends to set the line, the escaping of 0xFF in data, and a receiver that takes the
// server's commands out of the byte stream, also when one is split across reads. Pure.
#pragma once

#include <cstddef>
#include <cstdint>

namespace kelvaro::platform::telnet {

inline constexpr std::uint8_t kIac = 255;
inline constexpr std::uint8_t kDont = 254;
inline constexpr std::uint8_t kDo = 253;
inline constexpr std::uint8_t kWont = 252;
inline constexpr std::uint8_t kWill = 251;
inline constexpr std::uint8_t kSb = 250;
inline constexpr std::uint8_t kSe = 240;
inline constexpr std::uint8_t kBinary = 0;
inline constexpr std::uint8_t kComPort = 44;

// The COM port settings the lens needs: 38400 baud, 8 data bits, no parity, 1 stop bit, no
// flow control, DTR and RTS on. Each is acknowledged by the server with its code + 100.
inline constexpr int kSettingCount = 7;

// Writes the client's opening: binary both ways, COM port control, then the settings.
// Returns the length; `out` needs room for kOpeningBytes.
inline constexpr std::size_t kOpeningBytes = 64;
std::size_t BuildOpening(std::uint8_t (&out)[kOpeningBytes]);

// Copies `count` data bytes into `out` with each 0xFF doubled; `out` needs 2 * count.
std::size_t Escape(const std::uint8_t* data, std::size_t count, std::uint8_t* out);

class Receiver {
 public:
  // Takes the commands out of `count` received bytes, in place, and returns how many data
  // bytes are left at the front of `bytes`.
  std::size_t Filter(std::uint8_t* bytes, std::size_t count);

  bool ComPortRefused() const { return com_port_refused_; }
  // Settings acknowledged so far (any COM port reply of code 101 to 106 counts).
  int SettingsAcknowledged() const { return acknowledged_; }

  // Answers owed to the server: options it asked for that the client does not take, each
  // refused once. Takes them out (at most `capacity` bytes, whole commands only).
  std::size_t TakeAnswers(std::uint8_t* out, std::size_t capacity);

 private:
  enum class State { kData, kCommand, kOption, kSub, kSubCommand };
  void Option(std::uint8_t command, std::uint8_t option);
  void EndSub();

  State state_ = State::kData;
  std::uint8_t command_ = 0;
  std::uint8_t sub_[8] = {};  // the start of a subnegotiation; the rest is not needed
  std::size_t sub_length_ = 0;
  bool com_port_refused_ = false;
  int acknowledged_ = 0;
  // Options already answered, so that a server repeating itself gets no answer loop.
  std::uint8_t answered_[2][32] = {};  // [0]: its DO/DONT, [1]: its WILL/WONT, a bit each
  std::uint8_t answers_[24] = {};
  std::size_t answer_length_ = 0;
};

}  // namespace kelvaro::platform::telnet
