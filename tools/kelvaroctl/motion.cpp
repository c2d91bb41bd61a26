#include "motion.h"

#include <cstdio>
#include <optional>
#include <sstream>

namespace kelvaroctl {

namespace {

using Clock = std::chrono::steady_clock;

// move's lines come from a stream at the rate the library sends the path's steps.
constexpr double kMoveSampleHz = 50.0;
constexpr double kMaxMoveSeconds = 600.0;  // kelvaro_move_together's longest duration
constexpr double kMaxHz = 1000.0;          // kelvaro_stream_start's highest rate

unsigned Bit(Part part) { return 1u << AxisOf(part); }

// The value of a command option, when it was given.
std::optional<std::string> Given(const Options& options, const char* name) {
  for (const auto& [given, value] : options.command_options) {
    if (given == name) return value;
  }
  return std::nullopt;
}

int ParseEasing(const std::string& word) {
  if (word == "linear") return KELVARO_EASE_LINEAR;
  if (word == "in-out") return KELVARO_EASE_IN_OUT;
  throw UsageError{"unknown easing \"" + word + "\"; allowed: linear, in-out"};
}

// "zoom,focus" as a mask of axes.
unsigned ParseAxes(const std::string& list) {
  unsigned axes = 0;
  std::istringstream words(list);
  for (std::string word; std::getline(words, word, ',');) axes |= Bit(ParsePart(word));
  return axes;  // never 0: the option's value is not empty
}

std::string Seconds(double seconds, const char* format) {
  char text[32];
  std::snprintf(text, sizeof text, format, seconds);
  return text;
}

// One line of samples, as text or JSON, flushed at once: the lines are watched as they come.
void PrintLine(const Report& line, bool json) {
  std::printf("%s\n", json ? line.Json().c_str() : line.Line().c_str());
  std::fflush(stdout);
}

}  // namespace

void AddSample(Report& report, const kelvaro_sample& sample, unsigned axes) {
  for (Part part : kParts) {
    if ((axes & Bit(part)) == 0) continue;
    const std::string value = std::to_string(sample.position[AxisOf(part)]);
    if (sample.fresh & Bit(part)) {
      report.Add(PartName(part), PartName(part), value, value);
    } else {
      report.Fail(PartName(part), PartName(part));
    }
  }
}

// The library computes and sends the path; what is shown is where the lens says it is,
// sampled by a stream on the moving axes, so the lines never claim more than the lens told.
int Move(const Words&, const Options& options, Session& session) {
  int targets[3] = {-1, -1, -1};
  unsigned axes = 0;
  for (Part part : kParts) {
    if (const auto word = Given(options, (std::string("--") + PartName(part)).c_str())) {
      targets[AxisOf(part)] = ParsePosition(*word);
      axes |= Bit(part);
    }
  }
  if (axes == 0) throw UsageError{"move needs a target: --iris N, --zoom N or --focus N (0..4095)"};
  double seconds = 0;
  if (const auto word = Given(options, "--over")) {
    seconds = ParseDecimal(*word, "--over \"" + *word + "\"", 0, kMaxMoveSeconds, "0..600 (seconds)");
  }
  const int easing = ParseEasing(Given(options, "--ease").value_or("in-out"));
  if (const int status = session.Open()) return status;
  kelvaro_lens* lens = session.Lens();

  Report report;
  const int moved = kelvaro_move_together(lens, targets, static_cast<unsigned>(seconds * 1000 + 0.5), easing);
  if (moved != KELVARO_OK) {
    for (Part part : kParts) {
      if (axes & Bit(part)) report.Fail(PartName(part), PartName(part), moved);
    }
    report.Print(options.json);
    return 1;
  }
  kelvaro_stream_start(lens, axes, kMoveSampleHz);  // a mask and a rate in range, the lens open
  const auto start = Clock::now();
  kelvaro_sample last{};  // fresh 0: nothing known yet
  auto last_change = start;
  while (!Interrupted()) {
    kelvaro_sample sample{};
    const int waited = kelvaro_stream_wait(lens, &sample, kSampleWaitMs);
    const bool path_ended = kelvaro_moving(lens) == 0;
    if (waited == KELVARO_OK) {
      bool changed = false;
      for (Part part : kParts) {
        const int axis = AxisOf(part);
        changed = changed || ((sample.fresh & Bit(part)) && sample.position[axis] != last.position[axis]);
      }
      if (changed) last_change = Clock::now();
      last = sample;
      if (!options.json) {
        Report line;
        line.Add("time", "", Seconds(std::chrono::duration<double>(Clock::now() - start).count(), "%8.3f s"), "");
        AddSample(line, sample, axes);
        PrintLine(line, false);
      }
    } else if (waited != KELVARO_TIMEOUT) {
      break;  // the stream is gone: nothing more to show
    }
    if (!path_ended) continue;
    if (!options.wait) break;
    bool arrived = (last.fresh & axes) == axes;
    for (Part part : kParts) {
      arrived = arrived && ((axes & Bit(part)) == 0 || last.position[AxisOf(part)] == targets[AxisOf(part)]);
    }
    if (arrived || Clock::now() - last_change >= kSettledAfter) break;
  }
  const bool interrupted = Interrupted();
  if (interrupted) kelvaro_stop(lens);  // the lens stays where it is
  kelvaro_stream_stop(lens);

  for (Part part : kParts) {
    if ((axes & Bit(part)) == 0) continue;
    const char* name = PartName(part);
    const int target = targets[AxisOf(part)];
    const std::string target_text = std::to_string(target);
    const unsigned short position = last.position[AxisOf(part)];
    if (!options.wait && !interrupted) {
      report.Add(name, name, "moving to " + target_text, JsonObject({{"target", target_text}}));
    } else if (position == target && (last.fresh & Bit(part))) {
      report.Add(name, name, target_text + " (arrived)",
                 JsonObject({{"target", target_text}, {"position", target_text}}));
    } else {
      report.Fail(name, name,
                  std::string(interrupted ? "interrupted at " : "stopped at ") + std::to_string(position) +
                      " on the way to " + target_text);
    }
  }
  report.Print(options.json);
  return report.Failed() ? 1 : 0;
}

int StreamSamples(const Words&, const Options& options, Session& session) {
  const unsigned axes = ParseAxes(Given(options, "--axes").value_or("iris,zoom,focus"));
  double hz = 0;
  if (const auto word = Given(options, "--hz")) {
    hz = ParseDecimal(*word, "--hz \"" + *word + "\"", 0, kMaxHz, "0..1000 (samples per second, 0 as fast as the line goes)");
  }
  unsigned long count = 0;  // 0: until Ctrl-C
  if (const auto word = Given(options, "--count")) count = ParseCount(*word);
  const bool csv = Given(options, "--csv").has_value();
  if (csv && options.json) throw UsageError{"--csv and --json exclude each other; give one"};
  if (const int status = session.Open()) return status;
  kelvaro_lens* lens = session.Lens();

  if (csv) std::printf("time,sequence,fresh,iris,zoom,focus\n");
  const double start = kelvaro_clock();
  kelvaro_stream_start(lens, axes, hz);  // a mask and a rate in range, the lens open
  for (unsigned long printed = 0; !Interrupted() && (count == 0 || printed < count);) {
    kelvaro_sample sample{};
    const int waited = kelvaro_stream_wait(lens, &sample, kSampleWaitMs);
    if (waited == KELVARO_TIMEOUT) continue;
    if (waited != KELVARO_OK) {
      std::fprintf(stderr, "kelvaroctl: the stream ended: %s\n", ResultText(waited).c_str());
      return 1;
    }
    ++printed;
    const double seconds = sample.time - start;
    if (csv) {
      std::string line = Seconds(seconds, "%.6f") + "," + std::to_string(sample.sequence) + "," +
                         std::to_string(sample.fresh);
      for (Part part : kParts) {
        line += ",";
        if (sample.fresh & Bit(part)) line += std::to_string(sample.position[AxisOf(part)]);
      }
      std::printf("%s\n", line.c_str());
      std::fflush(stdout);
      continue;
    }
    Report line;
    line.Add("time", "", Seconds(seconds, "%10.6f s"), Seconds(seconds, "%.6f"));
    line.Add("sequence", "sequence", std::to_string(sample.sequence), std::to_string(sample.sequence));
    line.Add("fresh", "fresh", std::to_string(sample.fresh), std::to_string(sample.fresh));
    AddSample(line, sample, axes);
    PrintLine(line, options.json);
  }
  kelvaro_stream_stop(lens);
  return 0;
}

}  // namespace kelvaroctl
