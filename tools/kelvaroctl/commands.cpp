#include "commands.h"

#ifdef _WIN32
#include <io.h>
#else
#include <unistd.h>
#endif

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <optional>
#include <thread>

#include "kelvaro.h"
#include "lens_text.h"
#include "motion.h"
#include "report.h"

namespace kelvaroctl {

namespace {

using Clock = std::chrono::steady_clock;
using std::chrono::milliseconds;

// How often a moving lens is read back.
constexpr milliseconds kWaitPoll{100};

constexpr int kSwitches[] = {0, 2, 3, 4};
constexpr std::size_t kUsageColumn = 38;  // the width of the command list's first column

std::string SwitchKey(int number) { return "switch_" + std::to_string(number); }
std::string SwitchName(int number) { return "switch " + std::to_string(number); }
const char* OnOff(bool on) { return on ? "on" : "off"; }
const char* JsonBool(bool on) { return on ? "true" : "false"; }

// What the library answered with result `code`, or its failure.
void AddResult(Report& report, const std::string& key, const std::string& label, int code, const std::string& text,
               const std::string& json) {
  if (code == KELVARO_OK) {
    report.Add(key, label, text, json);
  } else {
    report.Fail(key, label, code);
  }
}

// A text, or its failure.
void AddText(Report& report, const char* key, const char* label, int code, const std::string& text) {
  AddResult(report, key, label, code, text, JsonString(text));
}

void AddPosition(Report& report, kelvaro_lens* lens, Part part) {
  unsigned short position = 0;
  const int code = kelvaro_position(lens, AxisOf(part), &position);
  AddResult(report, PartName(part), PartName(part), code, std::to_string(position), std::to_string(position));
}

void AddSwitch(Report& report, kelvaro_lens* lens, int number) {
  unsigned char byte = 0;
  const int code = kelvaro_switch(lens, number, &byte);
  const std::string text = SwitchLabel(number, byte);
  const std::string value = std::to_string(SwitchValue(number, byte));
  AddResult(report, SwitchKey(number), SwitchName(number), code, text + " (value " + value + ")",
            JsonObject({{"value", value}, {"text", JsonString(text)}}));
}

int Finish(const Report& report, const Options& options) {
  report.Print(options.json);
  return report.Failed() ? 1 : 0;
}

// Sleeps until `until`, waking early on Ctrl-C.
void PauseUntil(Clock::time_point until) {
  for (auto now = Clock::now(); !Interrupted() && now < until; now = Clock::now()) {
    std::this_thread::sleep_for(std::min<Clock::duration>(until - now, milliseconds(20)));
  }
}

void Pause(milliseconds duration) { PauseUntil(Clock::now() + duration); }

bool StdoutIsTerminal() {
#ifdef _WIN32
  return _isatty(_fileno(stdout)) != 0;
#else
  return isatty(STDOUT_FILENO) == 1;
#endif
}

// Positions passed on the way: on a terminal one line rewritten in place, else a line each.
class Progress {
 public:
  Progress(const char* label, bool shown) : label_(label), shown_(shown), terminal_(StdoutIsTerminal()) {}
  void Show(unsigned short position, unsigned short target) {
    if (!shown_) return;
    if (terminal_) {
      std::printf("\r%s  %4u -> %u ", label_, position, target);
    } else {
      std::printf("%s  %u\n", label_, position);
    }
    std::fflush(stdout);
    drawn_ = terminal_;
  }
  ~Progress() {
    if (drawn_) std::printf("\r%*s\r", 40, "");
  }

 private:
  const char* label_;
  bool shown_;
  bool terminal_;
  bool drawn_ = false;
};

int Status(const Words&, const Options& options, Session& session) {
  if (const int status = session.Open()) return status;
  Report report;
  report.Add("port", "port", session.Port(), JsonString(session.Port()));
  kelvaro_lens* lens = session.Lens();
  const int connected = kelvaro_connect(lens);
  if (connected != KELVARO_OK) {
    // Nothing else would answer either: every item would wait out its time-out.
    report.Fail("connect", "connect", connected);
    return Finish(report, options);
  }
  report.Add("connect", "connect", "OK", "true");

  char name[293] = "";
  const int named = kelvaro_name(lens, name, sizeof name);
  AddText(report, "name", "name", named, name);
  // The four optics replies come as one result: a failure fails all three items.
  kelvaro_optics optics{};
  const int read = kelvaro_read_optics(lens, &optics);
  AddText(report, "focal_length", "focal length", read, FocalRangeText(optics.focal_min_mm, optics.focal_max_mm));
  AddText(report, "mod", "MOD", read, ModText(optics.mod_m));
  AddText(report, "aperture", "aperture", read, ApertureText(optics.f_number));
  for (Part part : kParts) AddPosition(report, lens, part);
  for (int number : kSwitches) AddSwitch(report, lens, number);
  return Finish(report, options);
}

int Get(const Words& words, const Options& options, Session& session) {
  const Part part = ParsePart(words[0]);
  if (const int status = session.Open()) return status;
  Report report;
  AddPosition(report, session.Lens(), part);
  return Finish(report, options);
}

int Set(const Words& words, const Options& options, Session& session) {
  const Part part = ParsePart(words[0]);
  const unsigned short target = ParsePosition(words[1]);
  if (const int status = session.Open()) return status;
  const char* name = PartName(part);
  const std::string target_json = std::to_string(target);
  Report report;
  kelvaro_lens* lens = session.Lens();
  const int moved = kelvaro_move(lens, AxisOf(part), target);
  if (moved != KELVARO_OK) {
    report.Fail(name, name, moved);
    return Finish(report, options);
  }
  if (!options.wait) {
    report.Add(name, name, "moving to " + std::to_string(target), JsonObject({{"target", target_json}}));
    return Finish(report, options);
  }

  // Read back until the target arrives, a read fails, the motor stops short, or Ctrl-C.
  std::optional<unsigned short> last;
  auto last_change = Clock::now();
  int code = KELVARO_OK;
  {
    Progress progress(name, !options.json);
    for (;;) {
      unsigned short position = 0;
      code = kelvaro_position(lens, AxisOf(part), &position);
      if (code != KELVARO_OK) break;
      if (last != position) {
        last = position;
        last_change = Clock::now();
        if (position != target) progress.Show(position, target);
      }
      if (position == target || Interrupted() || Clock::now() - last_change >= kSettledAfter) break;
      Pause(kWaitPoll);
    }
  }
  if (code != KELVARO_OK) {
    report.Fail(name, name, code);
  } else if (*last == target) {
    report.Add(name, name, std::to_string(target) + " (arrived)",
               JsonObject({{"target", target_json}, {"position", target_json}}));
  } else {
    report.Fail(name, name,
                std::string(Interrupted() ? "interrupted at " : "stopped at ") + std::to_string(*last) +
                    " on the way to " + std::to_string(target));
  }
  return Finish(report, options);
}

int Switch(const Words& words, const Options& options, Session& session) {
  std::vector<int> numbers(std::begin(kSwitches), std::end(kSwitches));
  std::optional<unsigned char> byte;
  if (!words.empty()) numbers = {ParseSwitchNumber(words[0])};
  if (words.size() == 2) byte = ParseByte(words[1]);
  if (const int status = session.Open()) return status;
  Report report;
  if (byte) {
    const int number = numbers[0];
    const int code = kelvaro_set_switch(session.Lens(), number, *byte);
    char hex[8];
    std::snprintf(hex, sizeof hex, "0x%02x", *byte);
    AddResult(report, SwitchKey(number), SwitchName(number), code, std::string("set to ") + hex,
              JsonObject({{"set", std::to_string(*byte)}}));
  } else {
    for (int number : numbers) AddSwitch(report, session.Lens(), number);
  }
  return Finish(report, options);
}

int Mag(const Words& words, const Options& options, Session& session) {
  std::optional<bool> wanted;
  if (!words.empty()) wanted = ParseOnOff(words[0]);
  if (const int status = session.Open()) return status;
  Report report;
  bool on = wanted.value_or(false);
  int code = KELVARO_OK;
  if (wanted) {
    code = kelvaro_set_magnifier(session.Lens(), on);
  } else {
    int in = 0;
    code = kelvaro_magnifier(session.Lens(), &in);
    on = in != 0;
  }
  AddResult(report, "mag", "2x magnifier", code, OnOff(on), JsonBool(on));
  return Finish(report, options);
}

int AutoIris(const Words& words, const Options& options, Session& session) {
  const bool on = ParseOnOff(words[0]);
  if (const int status = session.Open()) return status;
  Report report;
  const int code = kelvaro_set_auto_iris(session.Lens(), on);
  AddResult(report, "autoiris", "auto iris", code, OnOff(on), JsonBool(on));
  return Finish(report, options);
}

// The library checks the lens once a second and tells whether it answered; while it does,
// the positions of the lens's stream, taken at --rate, are shown when something changed (an
// axis the sample could not read as "failed": a sample keeps no result code). The check also
// opens the port again after the device went away, so a lens that was connected and stops
// answering is marked "lens gone", and "lens back" once it answers again.
int Watch(const Words&, const Options& options, Session& session) {
  if (const int status = session.Open(true)) return status;
  kelvaro_lens* lens = session.Lens();
  if (!options.json) {
    std::printf("watching %s (Ctrl-C ends)\n", session.Port().c_str());
    std::fflush(stdout);
  }
  const unsigned all_axes = (1u << KELVARO_IRIS) | (1u << KELVARO_ZOOM) | (1u << KELVARO_FOCUS);
  kelvaro_stream_start(lens, all_axes, options.rate);  // the rate is in range, the lens open
  const auto start = Clock::now();
  std::string last;
  bool was_connected = false;
  bool ever_connected = false;  // before the first answer nothing has gone yet
  std::optional<kelvaro_sample> sample;
  double connected_since = 0;  // kelvaro_clock() when the lens was seen to answer; 0 while it does not
  while (!Interrupted()) {
    // The newest sample: a slow terminal shows the lens as it is, not as it was.
    kelvaro_sample next{};
    const int waited = kelvaro_stream_wait(lens, &next, kSampleWaitMs);
    while (waited == KELVARO_OK && kelvaro_stream_wait(lens, &next, 0) == KELVARO_OK) {
    }
    if (waited == KELVARO_OK) sample = next;
    if (waited != KELVARO_OK && waited != KELVARO_TIMEOUT) Pause(milliseconds(kSampleWaitMs));  // never a busy loop
    const bool connected = kelvaro_is_connected(lens) == 1;
    if (!connected) {
      connected_since = 0;
    } else if (connected_since == 0) {
      connected_since = kelvaro_clock();
    }
    // A lens that has just answered is shown with a round read since, not one that failed before.
    if (connected && (!sample || sample->time < connected_since)) continue;
    Report state;
    state.Add("connected", "", connected ? "connected" : "not connected", JsonBool(connected));
    if (connected && sample) AddSample(state, *sample, all_axes);
    Report line;
    const double seconds = std::chrono::duration<double>(Clock::now() - start).count();
    char time_text[32];
    char time_json[32];
    std::snprintf(time_text, sizeof time_text, "%8.3f s", seconds);
    std::snprintf(time_json, sizeof time_json, "%.3f", seconds);
    line.Add("time", "", time_text, time_json);
    // A change of `connected` always changes the state, so the event is never left unprinted.
    if (connected != was_connected && ever_connected) {
      line.Add("event", "", connected ? "lens back" : "lens gone", JsonString(connected ? "back" : "gone"));
    }
    was_connected = connected;
    ever_connected = ever_connected || connected;
    const std::string now = state.Json();
    if (now != last) {
      last = now;
      line.Append(state);
      std::printf("%s\n", options.json ? line.Json().c_str() : line.Line().c_str());
      std::fflush(stdout);
    }
  }
  return 0;
}

const Command kCommands[] = {
    {"status", "status", "name, optics, positions and switches of the lens",
     "Connects to the lens and shows its name, focal length range, minimum object distance,\n"
     "aperture, iris/zoom/focus positions and switches 0, 2, 3 and 4 with their labels.\n"
     "An item that failed shows the library's result text.\n",
     0, 0, "", Status},
    {"get", "get iris|zoom|focus", "read a position", "Reads a position (0..4095).\n", 1, 1, "", Get},
    {"set", "set iris|zoom|focus POSITION [--wait]", "move to a position (0..4095)",
     "Moves to a position (0..4095). With --wait, reads the position back and shows it until\n"
     "it arrives; a motor that stops elsewhere for 2 s is reported as a failure.\n",
     2, 2, "--wait", Set},
    {"switch", "switch [0|2|3|4 [BYTE]]", "read all switches or one, or set one to a byte",
     "With no number reads switches 0, 2, 3 and 4; with a number reads that switch; with a\n"
     "number and a byte (0..255 or 0x00..0xff) writes the byte to it.\n",
     0, 2, "", Switch},
    {"mag", "mag [on|off]", "read or set the 2x magnifier", "Reads, or turns on or off, the 2x magnifier (switch 3).\n",
     0, 1, "", Mag},
    {"autoiris", "autoiris on|off", "auto iris in host mode 4, or host mode 0",
     "on: auto iris (switch 2 to 0xcf) in host mode 4 (switch 4 to 0xfc);\n"
     "off: host mode 0 (switch 4 to 0xf8).\n",
     1, 1, "", AutoIris},
    {"watch", "watch [--rate HZ]", "connection and live positions until Ctrl-C, across unplugs",
     "Opens the lens with the library's once-a-second check and shows, as they change,\n"
     "whether the lens answered its last check and, while it does, the iris, zoom and focus\n"
     "positions, read HZ times a second (0.1 to 100, default 10). When the lens stops\n"
     "answering (unplugged, switched off, its server gone) the line says \"lens gone\"; the\n"
     "check then opens the port again once a second, and \"lens back\" marks the lens's\n"
     "first answer. Ctrl-C ends it. With --json, one JSON object per line; those two carry\n"
     "\"event\": \"gone\" or \"back\". The positions come from the library's position stream;\n"
     "an axis its sample could not read shows as \"failed\".\n",
     0, 0, "--rate", Watch},
    {"move", "move [--iris N] [--zoom N] [--focus N] [--over SECONDS] [--ease linear|in-out] [--wait]",
     "move axes together along a timed path",
     "Moves the axes given so that they arrive together after --over SECONDS (0 to 600,\n"
     "default 0: at once), easing in-out (smooth start and stop, the default) or linear; the\n"
     "library sends the path's steps every 20 ms. While it runs, a line every 20 ms shows the\n"
     "positions the lens reports (read from its position stream: where the lens is, which\n"
     "lags the commanded path when the motors are slower), until the path has ended. With\n"
     "--wait, then also until every axis has arrived; a motor that stops elsewhere for 2 s\n"
     "is reported as a failure. Ctrl-C stops the lens where it is.\n",
     0, 0, "--iris --zoom --focus --over --ease --wait", Move},
    {"stream", "stream [--axes iris,zoom,focus] [--hz HZ] [--csv] [--count N]", "print position samples until Ctrl-C",
     "Starts the lens's position stream on the axes given (default all three), HZ samples a\n"
     "second (0 to 1000; 0, the default, as fast as the line goes), and prints each sample:\n"
     "its time in seconds since the start, its sequence number (a jump means samples were\n"
     "lost), and the positions, an axis the sample could not read as \"failed\". --csv prints\n"
     "time,sequence,fresh,iris,zoom,focus lines for plotting instead (fresh: the mask of the\n"
     "axes read, 1 iris, 2 zoom, 4 focus; an axis not read is empty). --count N ends after N\n"
     "samples; otherwise Ctrl-C ends it.\n",
     0, 0, "--axes --hz --csv --count", StreamSamples},
};

// Whether `option` is a word of command.options.
bool Takes(const Command& command, const std::string& option) {
  const std::string list = std::string(" ") + command.options + " ";
  return list.find(" " + option + " ") != std::string::npos;
}

}  // namespace

const Command* FindCommand(const std::string& name) {
  for (const Command& command : kCommands) {
    if (name == command.name) return &command;
  }
  return nullptr;
}

std::string CommandNames() {
  std::string names;
  for (const Command& command : kCommands) names += (names.empty() ? "" : ", ") + std::string(command.name);
  return names;
}

void CheckScopedOptions(const Command& command, const Options& options) {
  for (const std::string& option : options.scoped) {
    if (Takes(command, option)) continue;
    std::string takers;
    for (const Command& other : kCommands) {
      if (!Takes(other, option)) continue;
      takers += (takers.empty() ? "" : " and ") + std::string(other.name);
    }
    throw UsageError{option + " applies only to " + takers};
  }
}

std::string CommandHelp(const Command& command) {
  return "Usage: kelvaroctl [--port DEVICE | --simulate] [--json] [--framing frame|timed] " +
         std::string(command.usage) + "\n" + command.help;
}

std::string GeneralHelp() {
  std::string text =
      "Usage: kelvaroctl [--port DEVICE | --simulate] [--json] [--framing frame|timed] COMMAND [ARGUMENTS]\n"
      "Checks and drives a motorised zoom lens through the Kelvaro32 library.\n"
      "\n"
      "Commands:\n";
  for (const Command& command : kCommands) {
    // A usage too long for its column has its summary on a line of its own.
    const std::string usage = command.usage;
    text += "  " + usage + (usage.size() > kUsageColumn ? "\n" + std::string(kUsageColumn + 2, ' ')
                                                          : std::string(kUsageColumn - usage.size(), ' '));
    text += " " + std::string(command.summary) + "\n";
  }
  text +=
      "  help [COMMAND]                         this text, or a command's\n"
      "\n"
      "Options (anywhere on the line):\n"
      "  --port DEVICE  the lens's serial device, e.g. /dev/ttyUSB0; or behind a serial\n"
      "                 device server, tcp://HOST:PORT (raw) or rfc2217://HOST:PORT\n"
      "  --simulate     start a simulated lens in this process and use it\n"
      "  --json         machine-readable output: one JSON object (watch: one per line)\n"
      "                 with failed items null and their codes and texts under \"errors\"\n"
      "  --wait         with set and move: show the travel until the position arrives\n"
      "  --framing frame|timed\n"
      "                 when the read of a reply ends: frame (the default) as soon as a\n"
      "                 whole frame has arrived; timed 100 ms after its last byte, as the\n"
      "                 library's flat functions read (about 0.1 s more per exchange)\n"
      "  --rate HZ      with watch: read the positions HZ times a second (0.1 to 100,\n"
      "                 default 10)\n"
      "  --help         this text; with a command, that command's\n"
      "\n"
      "Exit status: 0 success; 1 the port or the lens failed (the library's result text says\n"
      "how); 2 a bad command line.\n";
  return text;
}

}  // namespace kelvaroctl
