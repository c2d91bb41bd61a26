// The command line of kelvaroctl: global options anywhere, then the command and its words.
#pragma once

#include <string>
#include <vector>

namespace kelvaroctl {

struct Options {
  std::string port;
  bool simulate = false;
  bool json = false;
  bool help = false;
  bool wait = false;
  std::vector<std::string> words;  // the command and its arguments
};

// A bad command line; `what` says what was wrong and what is allowed. Exit status 2.
struct UsageError {
  std::string what;
};

Options ParseArguments(int argc, const char* const* argv);

// Word parsers for the commands' arguments; each throws UsageError.
enum class Part { kIris, kZoom, kFocus };
Part ParsePart(const std::string& word);
const char* PartName(Part part);
unsigned short ParsePosition(const std::string& word);  // 0..4095
int ParseSwitchNumber(const std::string& word);         // 0, 2, 3 or 4
unsigned char ParseByte(const std::string& word);       // 0..255, decimal or 0x hex
bool ParseOnOff(const std::string& word);

}  // namespace kelvaroctl
