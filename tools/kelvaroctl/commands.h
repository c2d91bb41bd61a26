// The subcommands of kelvaroctl: one function each, and their help.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "args.h"
#include "session.h"

namespace kelvaroctl {

using Words = std::vector<std::string>;

struct Command {
  const char* name;
  const char* usage;    // after "kelvaroctl "
  const char* summary;  // one line for the command list
  const char* help;     // what it does, a few lines
  std::size_t min_words;
  std::size_t max_words;
  const char* options;  // the options only some commands take that this one does: "--wait --rate"
  // Checks its words (throwing UsageError), opens the session, prints; returns the exit status.
  int (*run)(const Words& words, const Options& options, Session& session);
};

const Command* FindCommand(const std::string& name);
std::string GeneralHelp();
std::string CommandHelp(const Command& command);
std::string CommandNames();  // "status, get, set, ..."
// Throws UsageError for an option given that `command` does not take.
void CheckScopedOptions(const Command& command, const Options& options);

}  // namespace kelvaroctl
