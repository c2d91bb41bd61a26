#include "control.h"

#include <atomic>
#include <cctype>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <sstream>
#include <thread>
#include <utility>
#include <vector>

namespace lenssim {

namespace {

using Words = std::vector<std::string>;

// A command that cannot be carried out; its text follows "err ".
struct BadCommand {
  std::string what;
};

constexpr std::size_t kMaxLine = 4096;

Words Split(const std::string& line) {
  std::istringstream in(line);
  Words words;
  for (std::string word; in >> word;) words.push_back(word);
  return words;
}

void NeedWords(const Words& words, std::size_t min, std::size_t max, const char* usage) {
  if (words.size() < min || words.size() > max) throw BadCommand{std::string("usage: ") + usage};
}

std::string StripHexPrefix(const std::string& word) {
  if (word.size() > 2 && word[0] == '0' && (word[1] == 'x' || word[1] == 'X')) return word.substr(2);
  return word;
}

bool AllHex(const std::string& digits) {
  if (digits.empty()) return false;
  for (char c : digits) {
    if (!std::isxdigit(static_cast<unsigned char>(c))) return false;
  }
  return true;
}

std::uint8_t HexByte(const std::string& word, const char* what) {
  const std::string digits = StripHexPrefix(word);
  if (!AllHex(digits) || digits.size() > 2) {
    throw BadCommand{std::string(what) + " \"" + word + "\" is not a hex byte 00..ff"};
  }
  return static_cast<std::uint8_t>(std::stoul(digits, nullptr, 16));
}

Bytes HexBytes(const std::string& word) {
  const std::string digits = StripHexPrefix(word);
  if (!AllHex(digits) || digits.size() % 2 != 0) {
    throw BadCommand{"\"" + word + "\" is not hex bytes (an even number of hex digits)"};
  }
  Bytes bytes;
  for (std::size_t i = 0; i < digits.size(); i += 2) {
    bytes.push_back(static_cast<std::uint8_t>(std::stoul(digits.substr(i, 2), nullptr, 16)));
  }
  return bytes;
}

long Decimal(const std::string& word, long low, long high, const char* what) {
  bool digits = !word.empty();
  for (char c : word) digits = digits && std::isdigit(static_cast<unsigned char>(c));
  const long value = digits && word.size() <= 9 ? std::stol(word) : -1;
  if (value < low || value > high) {
    throw BadCommand{std::string(what) + " \"" + word + "\" is not a number " + std::to_string(low) +
                     ".." + std::to_string(high)};
  }
  return value;
}

Axis AxisNamed(const std::string& word) {
  if (word == "iris") return Axis::kIris;
  if (word == "zoom") return Axis::kZoom;
  if (word == "focus") return Axis::kFocus;
  throw BadCommand{"no motor \"" + word + "\"; motors: iris, zoom, focus"};
}

std::uint16_t WirePosition(const std::string& word) {
  return static_cast<std::uint16_t>(Decimal(word, 0, 4095, "position") << 4);
}

// fault CODE KIND [ARGS] [TIMES]
std::string FaultCommand(Simulator& lens, const Words& w) {
  static const char* usage =
      "fault CODE silent|badsum [TIMES] | delay MS [TIMES] | split AT MS [TIMES] | "
      "wrong CODE2 [TIMES] | short LEN [TIMES] | raw HEX [TIMES] | off";
  NeedWords(w, 3, 6, usage);
  const std::uint8_t code = HexByte(w[1], "function code");
  const std::string& kind = w[2];
  // Checks that the kind has its `args` words and at most a count after them; the count, or
  // -1 for none. Called before the kind's own words are read.
  const auto times = [&](std::size_t args) {
    NeedWords(w, 3 + args, 4 + args, usage);
    return w.size() == 4 + args ? static_cast<int>(Decimal(w[3 + args], 1, 1000000, "times")) : -1;
  };
  const auto ms = [&](const std::string& word) { return static_cast<int>(Decimal(word, 0, 60000, "milliseconds")); };
  Fault fault;
  if (kind == "silent") {
    fault = Fault::Silent(times(0));
  } else if (kind == "badsum") {
    fault = Fault::BadChecksum(times(0));
  } else if (kind == "delay") {
    const int count = times(1);
    fault = Fault::Delay(ms(w[3]), count);
  } else if (kind == "split") {
    const int count = times(2);
    fault = Fault::Split(static_cast<std::size_t>(Decimal(w[3], 0, 255, "split point")), ms(w[4]), count);
  } else if (kind == "wrong") {
    const int count = times(1);
    fault = Fault::WrongCode(HexByte(w[3], "function code"), count);
  } else if (kind == "short") {
    const int count = times(1);
    fault = Fault::Short(static_cast<std::size_t>(Decimal(w[3], 0, 258, "length")), count);
  } else if (kind == "raw") {
    const int count = times(1);
    fault = Fault::Raw(HexBytes(w[3]), count);
  } else if (kind == "off") {
    NeedWords(w, 3, 3, usage);
    fault = Fault::Silent(0);  // a fault for no replies removes the code's fault
  } else {
    throw BadCommand{"no fault \"" + kind + "\"; " + usage};
  }
  lens.SetFault(code, fault);
  return "ok";
}

std::string LineCommand(Simulator& lens, const Words& w) {
  static const char* usage = "line [silent 0|1 | delay MS | noise RATE | baud N]";
  NeedWords(w, 1, 3, usage);
  LineFaults line = lens.GetLineFaults();
  if (w.size() == 1) {
    std::ostringstream out;
    out << "ok silent " << (line.silent ? 1 : 0) << " delay " << line.delay_ms << " noise " << line.noise
        << " baud " << lens.Baud();
    return out.str();
  }
  NeedWords(w, 3, 3, usage);
  if (w[1] == "baud") {
    lens.SetBaud(static_cast<int>(Decimal(w[2], 0, kMaxBaud, "baud")));
    return "ok";
  }
  if (w[1] == "silent") {
    line.silent = Decimal(w[2], 0, 1, "silent") == 1;
  } else if (w[1] == "delay") {
    line.delay_ms = static_cast<int>(Decimal(w[2], 0, 60000, "milliseconds"));
  } else if (w[1] == "noise") {
    char* end = nullptr;
    const double rate = std::strtod(w[2].c_str(), &end);
    if (end == w[2].c_str() || *end != '\0' || !(rate >= 0.0 && rate <= 1.0)) {
      throw BadCommand{"noise \"" + w[2] + "\" is not a rate 0..1"};
    }
    line.noise = rate;
  } else {
    throw BadCommand{std::string("usage: ") + usage};
  }
  lens.SetLineFaults(line);
  return "ok";
}

std::string FramesCommand(Simulator& lens, const Words& w) {
  NeedWords(w, 1, 1, "frames");
  std::string answer = "ok";
  for (const Bytes& frame : lens.Received()) answer += " " + Hex(frame);
  return answer;
}

std::string WaitFramesCommand(Simulator& lens, const Words& w) {
  NeedWords(w, 3, 3, "waitframes COUNT MS");
  const auto count = static_cast<std::size_t>(Decimal(w[1], 0, 1000000, "count"));
  const auto ms = static_cast<int>(Decimal(w[2], 0, 60000, "milliseconds"));
  const bool reached = lens.WaitForFrames(count, ms);
  return (reached ? "ok " : "err timeout ") + std::to_string(lens.Received().size());
}

std::string StateCommand(Simulator& lens, const Words& w, const std::string& line) {
  static const char* usage =
      "state [iris|zoom|focus POS | switch N BYTE | speed N | name TEXT]";
  LensState state = lens.State();
  if (w.size() == 1) {
    char text[160];
    std::snprintf(text, sizeof text,
                  "ok iris %d zoom %d focus %d switch0 %02x switch2 %02x switch3 %02x switch4 %02x speed %d",
                  state.iris >> 4, state.zoom >> 4, state.focus >> 4, state.switches[0],
                  state.switches[2], state.switches[3], state.switches[4], state.motor_speed / 16);
    return text;
  }
  const std::string& what = w[1];
  if (what == "name") {
    // The rest of the line after "name", spaces and all.
    const std::size_t at = line.find("name");
    std::size_t start = at + 4;
    if (start < line.size() && line[start] == ' ') ++start;
    state.name = line.substr(start);
  } else if (what == "iris" || what == "zoom" || what == "focus") {
    NeedWords(w, 3, 3, usage);
    const std::uint16_t position = WirePosition(w[2]);
    (what == "iris" ? state.iris : what == "zoom" ? state.zoom : state.focus) = position;
  } else if (what == "switch") {
    NeedWords(w, 4, 4, usage);
    const auto number = static_cast<std::size_t>(Decimal(w[2], 0, 4, "switch"));
    if (number == 1) throw BadCommand{"no switch 1; switches: 0, 2, 3, 4"};
    state.switches[number] = HexByte(w[3], "switch byte");
  } else if (what == "speed") {
    NeedWords(w, 3, 3, usage);
    state.motor_speed = static_cast<int>(Decimal(w[2], 0, 65535, "speed") * 16);
  } else {
    throw BadCommand{std::string("usage: ") + usage};
  }
  lens.SetState(state);
  return "ok";
}

std::string MoveCommand(Simulator& lens, const Words& w) {
  NeedWords(w, 3, 3, "move iris|zoom|focus POS");
  lens.Move(AxisNamed(w[1]), WirePosition(w[2]));
  return "ok";
}

std::string SendCommand(Simulator& lens, const Words& w) {
  NeedWords(w, 2, 2, "send HEX");
  lens.SendUnsolicited(HexBytes(w[1]));
  return "ok";
}

}  // namespace

ControlAnswer RunControlCommand(Simulator& lens, const std::string& line) {
  const Words w = Split(line);
  if (w.empty()) return {};
  const std::string& command = w[0];
  try {
    if (command == "ping") return {"ok pong"};
    if (command == "help") {
      return {"ok ping help fault clear line frames clearframes waitframes state move send hangup unplug replug quit"};
    }
    if (command == "fault") return {FaultCommand(lens, w)};
    if (command == "clear") {
      NeedWords(w, 1, 1, "clear");
      lens.ClearFaults();
      return {"ok"};
    }
    if (command == "line") return {LineCommand(lens, w)};
    if (command == "frames") return {FramesCommand(lens, w)};
    if (command == "clearframes") {
      NeedWords(w, 1, 1, "clearframes");
      lens.ClearReceived();
      return {"ok"};
    }
    if (command == "waitframes") return {WaitFramesCommand(lens, w)};
    if (command == "state") return {StateCommand(lens, w, line)};
    if (command == "move") return {MoveCommand(lens, w)};
    if (command == "send") return {SendCommand(lens, w)};
    if (command == "hangup" || command == "unplug") {
      NeedWords(w, 1, 1, command.c_str());
      lens.HangUp();
      return {"ok"};
    }
    if (command == "replug") {
      NeedWords(w, 1, 1, "replug");
      lens.Replug();
      return {"ok " + lens.DevicePath()};
    }
    if (command == "quit") {
      NeedWords(w, 1, 1, "quit");
      return {"ok bye", true};
    }
    throw BadCommand{"unknown command \"" + command + "\" (try help)"};
  } catch (const BadCommand& bad) {
    return {"err " + bad.what};
  }
}

struct ControlChannel::Impl {
  Simulator& lens;
  std::function<void()> on_quit;
  std::unique_ptr<Line> line;
  std::atomic<bool> stop{false};
  std::thread server;

  Impl(Simulator& l, std::function<void()> q, std::unique_ptr<Line> served)
      : lens(l), on_quit(std::move(q)), line(std::move(served)) {}

  // Writes all of `text` unless the reader leaves the line full for a second.
  void WriteAll(const std::string& text) {
    const auto give_up = std::chrono::steady_clock::now() + std::chrono::seconds(1);
    std::size_t done = 0;
    while (done < text.size() && !stop.load() && std::chrono::steady_clock::now() < give_up) {
      const long n = line->Write(reinterpret_cast<const std::uint8_t*>(text.data()) + done, text.size() - done);
      if (n < 0) return;
      done += static_cast<std::size_t>(n);
      if (n == 0) line->Wait(true, 100);
    }
  }

  void Serve() {
    std::string pending;
    bool overlong = false;  // dropping the rest of a line that grew too long
    for (;;) {
      if (!line->Wait(false, -1) || stop.load()) return;
      std::uint8_t buffer[512];
      const long n = line->Read(buffer, sizeof buffer);
      if (n < 0) return;
      for (long i = 0; i < n; ++i) {
        const char c = static_cast<char>(buffer[i]);
        if (c != '\n') {
          if (pending.size() < kMaxLine) {
            pending += c;
          } else {
            overlong = true;
          }
          continue;
        }
        if (!pending.empty() && pending.back() == '\r') pending.pop_back();
        ControlAnswer answer = overlong ? ControlAnswer{"err line too long"}
                                        : RunControlCommand(lens, pending);
        pending.clear();
        overlong = false;
        if (answer.line.empty()) continue;
        WriteAll(answer.line + "\n");
        if (answer.quit) {
          line->Settle();
          if (on_quit) on_quit();
        }
      }
    }
  }
};

#ifndef _WIN32
ControlChannel::ControlChannel(Simulator& lens, std::function<void()> on_quit)
    : ControlChannel(lens, std::move(on_quit), OpenPtyLine()) {}
#endif

ControlChannel::ControlChannel(Simulator& lens, std::function<void()> on_quit, std::unique_ptr<Line> line)
    : impl_(std::make_unique<Impl>(lens, std::move(on_quit), std::move(line))) {
  Impl& s = *impl_;
  s.server = std::thread([&s] { s.Serve(); });
}

ControlChannel::~ControlChannel() {
  Impl& s = *impl_;
  s.stop.store(true);
  s.line->Wake();
  if (s.server.joinable()) s.server.join();
}

const std::string& ControlChannel::DevicePath() const { return impl_->line->Name(); }

}  // namespace lenssim
