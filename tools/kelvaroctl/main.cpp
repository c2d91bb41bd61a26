// kelvaroctl: check and drive a lens from a terminal, through the library's handle interface.
#include <cstdio>
#include <string>
#include <vector>

#include "args.h"
#include "commands.h"
#include "session.h"

namespace {

using kelvaroctl::UsageError;

int Run(int argc, const char* const* argv) {
  const kelvaroctl::Options options = kelvaroctl::ParseArguments(argc, argv);
  if (options.words.empty()) {
    if (!options.help) {
      throw UsageError{"no command given; commands: " + kelvaroctl::CommandNames() + " (see --help)"};
    }
    std::fputs(kelvaroctl::GeneralHelp().c_str(), stdout);
    return 0;
  }
  const std::string& name = options.words[0];
  const kelvaroctl::Words words(options.words.begin() + 1, options.words.end());
  if (name == "help") {
    if (words.empty()) {
      std::fputs(kelvaroctl::GeneralHelp().c_str(), stdout);
      return 0;
    }
    const kelvaroctl::Command* command = kelvaroctl::FindCommand(words[0]);
    if (command == nullptr) {
      throw UsageError{"unknown command \"" + words[0] + "\"; commands: " + kelvaroctl::CommandNames()};
    }
    std::fputs(kelvaroctl::CommandHelp(*command).c_str(), stdout);
    return 0;
  }
  const kelvaroctl::Command* command = kelvaroctl::FindCommand(name);
  if (command == nullptr) {
    throw UsageError{"unknown command \"" + name + "\"; commands: " + kelvaroctl::CommandNames() + " (see --help)"};
  }
  if (options.help) {
    std::fputs(kelvaroctl::CommandHelp(*command).c_str(), stdout);
    return 0;
  }
  if (words.size() < command->min_words || words.size() > command->max_words) {
    throw UsageError{std::string(words.size() < command->min_words ? "too few" : "too many") +
                     " arguments for " + name + "; usage: kelvaroctl " + command->usage};
  }
  kelvaroctl::CheckScopedOptions(*command, options);

  kelvaroctl::CatchInterrupts();
  kelvaroctl::Session session(options);
  return command->run(words, options, session);
}

}  // namespace

int main(int argc, char** argv) {
  try {
    return Run(argc, argv);
  } catch (const UsageError& error) {
    std::fprintf(stderr, "kelvaroctl: %s\n", error.what.c_str());
    return 2;
  }
}
