#include "args.h"

#include <cctype>
#include <cstdlib>
#include <optional>

#include "kelvaro.h"

namespace kelvaroctl {

namespace {

constexpr const char* kOptions =
    "--port DEVICE, --simulate, --json, --wait, --framing frame|timed, --rate HZ, --help";
constexpr const char* kRates = "0.1..100 (reads per second)";

// Reads `text` as a whole number in `base` within 0..max; otherwise throws what was wrong
// with `what` and `allowed`.
long BoundedNumber(const std::string& text, int base, long max, const std::string& what, const char* allowed) {
  const bool negative = !text.empty() && text[0] == '-';
  const std::string digits = negative ? text.substr(1) : text;
  bool valid = !digits.empty();
  for (char c : digits) {
    const auto u = static_cast<unsigned char>(c);
    valid = valid && (base == 10 ? std::isdigit(u) : std::isxdigit(u));
  }
  if (!valid) throw UsageError{what + " is not a number; allowed: " + allowed};
  const long value = digits.size() > 9 ? max + 1 : std::strtol(digits.c_str(), nullptr, base);
  if (negative || value > max) throw UsageError{what + " is out of range; allowed: " + allowed};
  return value;
}

// The value of an option given as "--name VALUE" or "--name=VALUE"; nullopt when `word` is
// another option. A missing or empty value throws `missing`.
std::optional<std::string> OptionValue(const std::string& name, const std::string& word, int& i, int argc,
                                       const char* const* argv, const char* missing) {
  std::string value;
  if (word == name) {
    if (i + 1 >= argc) throw UsageError{missing};
    value = argv[++i];
  } else if (word.rfind(name + "=", 0) == 0) {
    value = word.substr(name.size() + 1);
  } else {
    return std::nullopt;
  }
  if (value.empty()) throw UsageError{missing};
  return value;
}

Framing ParseFraming(const std::string& word) {
  if (word == "frame") return Framing::kFrame;
  if (word == "timed") return Framing::kTimed;
  throw UsageError{"unknown framing \"" + word + "\"; allowed: frame, timed"};
}

// The options of single commands: their names, and what a missing value needs ("" for a flag).
struct CommandOption {
  const char* name;
  const char* missing;
};
constexpr CommandOption kCommandOptions[] = {
    {"--iris", "--iris needs a position, e.g. --iris 1000"},
    {"--zoom", "--zoom needs a position, e.g. --zoom 1000"},
    {"--focus", "--focus needs a position, e.g. --focus 1000"},
    {"--over", "--over needs seconds, e.g. --over 2.5"},
    {"--ease", "--ease needs linear or in-out"},
    {"--axes", "--axes needs lens parts, e.g. --axes zoom,focus"},
    {"--hz", "--hz needs samples per second, e.g. --hz 50"},
    {"--count", "--count needs a number of samples, e.g. --count 100"},
    {"--csv", ""},
};

}  // namespace

double ParseDecimal(const std::string& word, const std::string& what, double min, double max, const char* allowed) {
  const std::size_t first = !word.empty() && word[0] == '-' ? 1 : 0;
  bool digits = false;
  bool point = false;
  bool valid = first < word.size();
  for (std::size_t at = first; at < word.size() && valid; ++at) {
    const char c = word[at];
    if (std::isdigit(static_cast<unsigned char>(c))) {
      digits = true;
    } else {
      valid = c == '.' && !point;
      point = true;
    }
  }
  if (!valid || !digits) throw UsageError{what + " is not a number; allowed: " + allowed};
  const double value = std::strtod(word.c_str(), nullptr);
  if (!(value >= min && value <= max)) throw UsageError{what + " is out of range; allowed: " + allowed};
  return value;
}

unsigned long ParseCount(const std::string& word) {
  const std::string what = "count \"" + word + "\"";
  const long count = BoundedNumber(word, 10, 1000000, what, "1..1000000");
  if (count == 0) throw UsageError{what + " is out of range; allowed: 1..1000000"};
  return static_cast<unsigned long>(count);
}

namespace {

// A command's own option, its value kept for the command to check; false for another word.
bool CommandOptionValue(const std::string& word, int& i, int argc, const char* const* argv, Options& options) {
  for (const CommandOption& option : kCommandOptions) {
    const std::string name = option.name;
    std::optional<std::string> value;
    if (*option.missing == '\0') {
      if (word == name) value = "";
    } else {
      value = OptionValue(name, word, i, argc, argv, option.missing);
    }
    if (!value) continue;
    for (const auto& given : options.command_options) {
      if (given.first == name) throw UsageError{name + " is given twice; give it once"};
    }
    options.command_options.emplace_back(name, *value);
    options.scoped.push_back(name);
    return true;
  }
  return false;
}

}  // namespace

Options ParseArguments(int argc, const char* const* argv) {
  Options options;
  for (int i = 1; i < argc; ++i) {
    const std::string word = argv[i];
    if (word.size() < 2 || word[0] != '-' || std::isdigit(static_cast<unsigned char>(word[1]))) {
      options.words.push_back(word);  // "-1" is a (bad) number for a command to judge
    } else if (auto port = OptionValue("--port", word, i, argc, argv,
                                       "--port needs a device, e.g. --port /dev/ttyUSB0")) {
      options.port = *port;
    } else if (auto framing = OptionValue("--framing", word, i, argc, argv, "--framing needs frame or timed")) {
      options.framing = ParseFraming(*framing);
    } else if (auto rate = OptionValue("--rate", word, i, argc, argv,
                                       "--rate needs reads per second, e.g. --rate 10")) {
      options.rate = ParseDecimal(*rate, "rate \"" + *rate + "\"", kMinRate, kMaxRate, kRates);
      options.rate_given = true;
      options.scoped.push_back("--rate");
    } else if (word == "--simulate") {
      options.simulate = true;
    } else if (word == "--json") {
      options.json = true;
    } else if (word == "--wait") {
      options.wait = true;
      options.scoped.push_back(word);
    } else if (word == "--help" || word == "-h") {
      options.help = true;
    } else if (!CommandOptionValue(word, i, argc, argv, options)) {
      throw UsageError{"unknown option \"" + word + "\"; options: " + kOptions};
    }
  }
  if (options.simulate && !options.port.empty()) {
    throw UsageError{"--port and --simulate exclude each other; give one"};
  }
  return options;
}

Part ParsePart(const std::string& word) {
  if (word == "iris") return Part::kIris;
  if (word == "zoom") return Part::kZoom;
  if (word == "focus") return Part::kFocus;
  throw UsageError{"unknown lens part \"" + word + "\"; allowed: iris, zoom, focus"};
}

int AxisOf(Part part) {
  switch (part) {
    case Part::kIris: return KELVARO_IRIS;
    case Part::kZoom: return KELVARO_ZOOM;
    case Part::kFocus: return KELVARO_FOCUS;
  }
  return -1;
}

const char* PartName(Part part) {
  switch (part) {
    case Part::kIris: return "iris";
    case Part::kZoom: return "zoom";
    case Part::kFocus: return "focus";
  }
  return "?";
}

unsigned short ParsePosition(const std::string& word) {
  return static_cast<unsigned short>(BoundedNumber(word, 10, 4095, "position \"" + word + "\"", "0..4095"));
}

int ParseSwitchNumber(const std::string& word) {
  if (word == "0" || word == "2" || word == "3" || word == "4") return word[0] - '0';
  throw UsageError{"there is no switch \"" + word + "\"; allowed: 0, 2, 3, 4"};
}

unsigned char ParseByte(const std::string& word) {
  const bool hex = word.size() > 2 && word[0] == '0' && (word[1] == 'x' || word[1] == 'X');
  return static_cast<unsigned char>(BoundedNumber(hex ? word.substr(2) : word, hex ? 16 : 10, 255,
                                                  "byte \"" + word + "\"", "0..255 or 0x00..0xff"));
}

bool ParseOnOff(const std::string& word) {
  if (word == "on") return true;
  if (word == "off") return false;
  throw UsageError{"\"" + word + "\" is neither on nor off; allowed: on, off"};
}

}  // namespace kelvaroctl
