#include "platform/telnet.h"

#include <cstring>

namespace kelvaro::platform::telnet {
namespace {

// COM port control commands from the client (the server answers with code + 100).
constexpr std::uint8_t kSetBaudRate = 1;
constexpr std::uint8_t kSetDataSize = 2;
constexpr std::uint8_t kSetParity = 3;
constexpr std::uint8_t kSetStopSize = 4;
constexpr std::uint8_t kSetControl = 5;
constexpr std::uint8_t kServerReply = 100;

constexpr std::uint8_t kParityNone = 1;
constexpr std::uint8_t kOneStopBit = 1;
constexpr std::uint8_t kNoFlowControl = 1;
constexpr std::uint8_t kDtrOn = 8;
constexpr std::uint8_t kRtsOn = 11;
constexpr std::uint32_t kBaudRate = 38400;

std::size_t Setting(std::uint8_t* out, std::uint8_t command, const std::uint8_t* value, std::size_t length) {
  std::size_t n = 0;
  out[n++] = kIac;
  out[n++] = kSb;
  out[n++] = kComPort;
  out[n++] = command;
  n += Escape(value, length, out + n);
  out[n++] = kIac;
  out[n++] = kSe;
  return n;
}

}  // namespace

std::size_t BuildOpening(std::uint8_t (&out)[kOpeningBytes]) {
  const std::uint8_t greeting[] = {kIac, kWill, kBinary, kIac, kDo, kBinary, kIac, kWill, kComPort};
  std::size_t n = sizeof greeting;
  std::memcpy(out, greeting, n);
  const std::uint8_t baud[] = {static_cast<std::uint8_t>(kBaudRate >> 24), static_cast<std::uint8_t>(kBaudRate >> 16),
                               static_cast<std::uint8_t>(kBaudRate >> 8), static_cast<std::uint8_t>(kBaudRate)};
  const std::uint8_t eight = 8;
  n += Setting(out + n, kSetBaudRate, baud, sizeof baud);
  n += Setting(out + n, kSetDataSize, &eight, 1);
  n += Setting(out + n, kSetParity, &kParityNone, 1);
  n += Setting(out + n, kSetStopSize, &kOneStopBit, 1);
  n += Setting(out + n, kSetControl, &kNoFlowControl, 1);
  n += Setting(out + n, kSetControl, &kDtrOn, 1);
  n += Setting(out + n, kSetControl, &kRtsOn, 1);
  return n;
}

std::size_t Escape(const std::uint8_t* data, std::size_t count, std::uint8_t* out) {
  std::size_t n = 0;
  for (std::size_t i = 0; i < count; ++i) {
    out[n++] = data[i];
    if (data[i] == kIac) out[n++] = kIac;
  }
  return n;
}

std::size_t Receiver::Filter(std::uint8_t* bytes, std::size_t count) {
  std::size_t kept = 0;
  for (std::size_t i = 0; i < count; ++i) {
    const std::uint8_t b = bytes[i];
    switch (state_) {
      case State::kData:
        if (b == kIac) {
          state_ = State::kCommand;
        } else {
          bytes[kept++] = b;
        }
        break;
      case State::kCommand:
        if (b == kIac) {
          bytes[kept++] = kIac;  // an escaped 0xFF data byte
          state_ = State::kData;
        } else if (b >= kWill && b <= kDont) {
          command_ = b;
          state_ = State::kOption;
        } else if (b == kSb) {
          sub_length_ = 0;
          state_ = State::kSub;
        } else {
          state_ = State::kData;  // a command without an option: nothing to do
        }
        break;
      case State::kOption:
        Option(command_, b);
        state_ = State::kData;
        break;
      case State::kSub:
        if (b == kIac) {
          state_ = State::kSubCommand;
        } else if (sub_length_ < sizeof sub_) {
          sub_[sub_length_++] = b;
        }
        break;
      case State::kSubCommand:
        if (b == kSe) {
          EndSub();
          state_ = State::kData;
        } else {
          if (b == kIac && sub_length_ < sizeof sub_) sub_[sub_length_++] = b;
          state_ = State::kSub;
        }
        break;
    }
  }
  return kept;
}

void Receiver::Option(std::uint8_t command, std::uint8_t option) {
  const bool asks_us = command == kDo || command == kDont;
  if (option == kComPort && command == kDont) com_port_refused_ = true;
  // The client offers binary and COM port control itself, and asks for binary: a server's
  // agreement needs no answer. Anything else it asks to do or have done is refused, once.
  const bool ours = option == kBinary || (asks_us && option == kComPort);
  if (ours || command == kDont || command == kWont) return;
  std::uint8_t& seen = answered_[asks_us ? 0 : 1][option / 8];
  const std::uint8_t bit = static_cast<std::uint8_t>(1u << (option % 8));
  if ((seen & bit) != 0 || answer_length_ + 3 > sizeof answers_) return;
  seen |= bit;
  answers_[answer_length_++] = kIac;
  answers_[answer_length_++] = asks_us ? kWont : kDont;
  answers_[answer_length_++] = option;
}

void Receiver::EndSub() {
  if (sub_length_ >= 2 && sub_[0] == kComPort && sub_[1] > kServerReply && sub_[1] <= kServerReply + kSetControl + 1) {
    ++acknowledged_;
  }
}

std::size_t Receiver::TakeAnswers(std::uint8_t* out, std::size_t capacity) {
  std::size_t n = answer_length_ - answer_length_ % 3;
  if (n > capacity - capacity % 3) n = capacity - capacity % 3;
  std::memcpy(out, answers_, n);
  std::memmove(answers_, answers_ + n, answer_length_ - n);
  answer_length_ -= n;
  return n;
}

}  // namespace kelvaro::platform::telnet
