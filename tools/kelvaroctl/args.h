// The command line of kelvaroctl: global options anywhere, then the command and its words.
#pragma once

#include <string>
#include <utility>
#include <vector>

namespace kelvaroctl {

// When the library ends a read of a reply (kelvaro_options.framing).
enum class Framing { kFrame, kTimed };

struct Options {
  std::string port;
  bool simulate = false;
  bool json = false;
  bool help = false;
  bool wait = false;
  Framing framing = Framing::kFrame;
  double rate = 10.0;       // watch: reads per second
  bool rate_given = false;  // --rate was on the line
  std::vector<std::string> words;  // the command and its arguments
  // Options that only some commands take, as given: "--wait", "--rate", "--zoom", ...
  std::vector<std::string> scoped;
  // The values of the commands' own options ("--zoom" "1000", "--csv" ""), once each.
  std::vector<std::pair<std::string, std::string>> command_options;
};

// A bad command line; `what` says what was wrong and what is allowed. Exit status 2.
struct UsageError {
  std::string what;
};

Options ParseArguments(int argc, const char* const* argv);

// The range --rate accepts, in reads per second.
inline constexpr double kMinRate = 0.1;
inline constexpr double kMaxRate = 100.0;

// Word parsers for the commands' arguments; each throws UsageError.
enum class Part { kIris, kZoom, kFocus };
inline constexpr Part kParts[] = {Part::kIris, Part::kZoom, Part::kFocus};
Part ParsePart(const std::string& word);
const char* PartName(Part part);
int AxisOf(Part part);  // KELVARO_IRIS, ...
unsigned short ParsePosition(const std::string& word);  // 0..4095
int ParseSwitchNumber(const std::string& word);         // 0, 2, 3 or 4
unsigned char ParseByte(const std::string& word);       // 0..255, decimal or 0x hex
bool ParseOnOff(const std::string& word);
// A decimal number within min..max ("10", "2.5"); `what` names it in the message.
double ParseDecimal(const std::string& word, const std::string& what, double min, double max, const char* allowed);
unsigned long ParseCount(const std::string& word);  // 1..1000000

}  // namespace kelvaroctl
