// kelvaro-soak: runs the library for a long while against simulated lenses, phase after
// phase, prints one line of figures per phase and a summary, and exits 0 only when every
// figure met its target.
//
// Each phase runs in a child process of its own: a crash or a hang in one is reported as
// such, the other phases still run, and each starts from a process the library never
// touched.
#include <limits.h>
#include <poll.h>
#include <signal.h>
#include <stdlib.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <string>
#include <vector>

#include "soak.h"

namespace {

using soak::Options;
using soak::PhaseResult;

struct Phase {
  int number;
  const char* name;
  PhaseResult (*run)(const Options&);
  int bound_short_s;  // a phase still running after this long is taken for hung
  int bound_full_s;
};

const Phase kPhases[] = {
    {1, "open/close", soak::OpenCloseCycles, 180, 900},
    {2, "load/unload", soak::LoadUnloadCycles, 240, 1800},
    {3, "faults", soak::FaultyLenses, 150, 720},
    {4, "unplug/replug", soak::UnplugReplug, 150, 1200},
    {5, "ser2net", soak::Ser2netRestarts, 150, 1200},
    {6, "idle CPU", soak::IdleCpu, 60, 90},
    {7, "motion", soak::Motion, 120, 720},
};

constexpr const char* kUsage =
    "Usage: kelvaro-soak [--short] [--library PATH] [--ser2net PATH] [--seed N] [--phases 1,2,...]\n"
    "                    [--trace-lens N]\n"
    "Soaks the library against simulated lenses and prints each phase's figures.\n"
    "\n"
    "  --short          a few minutes in all instead of over ten\n"
    "  --library PATH   libKelvaro32.so to load (default: the one next to this program)\n"
    "  --ser2net PATH   the ser2net program (default: found on PATH or in /usr/sbin)\n"
    "  --seed N         seed of the random faults and timings (default: from the clock)\n"
    "  --phases LIST    only these phases, e.g. 3 or 1,2 (1 open/close, 2 load/unload, 3 faults,\n"
    "                   4 unplug/replug, 5 ser2net, 6 idle CPU, 7 motion)\n"
    "  --trace-lens N   every exchange of phase 3's lens N (0 to 7), with its line, on standard error\n"
    "Exit status 0 when every figure met its target, 1 when one did not, 2 for a bad command line.\n";

std::string NextToThisProgram(const char* name) {
  char path[PATH_MAX];
  const ssize_t length = readlink("/proc/self/exe", path, sizeof path - 1);
  if (length <= 0) return name;
  path[length] = '\0';
  std::string dir(path);
  const std::size_t slash = dir.rfind('/');
  return (slash == std::string::npos ? std::string(".") : dir.substr(0, slash)) + "/" + name;
}

std::string FindProgram(const char* name) {
  std::vector<std::string> dirs;
  if (const char* path = getenv("PATH")) {
    std::string rest(path);
    std::size_t start = 0;
    for (;;) {
      const std::size_t colon = rest.find(':', start);
      dirs.push_back(rest.substr(start, colon == std::string::npos ? std::string::npos : colon - start));
      if (colon == std::string::npos) break;
      start = colon + 1;
    }
  }
  dirs.push_back("/usr/sbin");
  dirs.push_back("/usr/local/sbin");
  for (const std::string& dir : dirs) {
    const std::string candidate = (dir.empty() ? std::string(".") : dir) + "/" + name;
    if (access(candidate.c_str(), X_OK) == 0) return candidate;
  }
  return "";
}

struct Outcome {
  bool pass = false;
  std::string summary;
};

// Runs one phase in a child process; its line goes straight to standard output.
Outcome RunPhase(const Phase& phase, const Options& options) {
  Outcome outcome;
  int channel[2];
  if (pipe(channel) != 0) {
    outcome.summary = "could not start (pipe)";
    return outcome;
  }
  std::fflush(stdout);
  std::fflush(stderr);
  const pid_t child = fork();
  if (child < 0) {
    close(channel[0]);
    close(channel[1]);
    outcome.summary = "could not start (fork)";
    return outcome;
  }
  if (child == 0) {
    close(channel[0]);
    const PhaseResult result = phase.run(options);
    std::printf("%s\n", result.line.c_str());
    std::fflush(stdout);
    const std::string report = std::string(result.pass ? "P" : "F") + result.summary;
    const char* bytes = report.c_str();
    std::size_t left = report.size();
    while (left > 0) {
      const ssize_t n = write(channel[1], bytes, left);
      if (n <= 0) break;
      bytes += n;
      left -= static_cast<std::size_t>(n);
    }
    close(channel[1]);
    std::fflush(stderr);
    _exit(0);
  }
  close(channel[1]);

  const int bound_s = options.short_run ? phase.bound_short_s : phase.bound_full_s;
  const auto deadline = soak::Clock::now() + std::chrono::seconds(bound_s);
  std::string report;
  int status = 0;
  bool hung = false;
  for (;;) {
    pollfd fd = {channel[0], POLLIN, 0};
    if (poll(&fd, 1, 200) > 0) {
      char buffer[512];
      const ssize_t n = read(channel[0], buffer, sizeof buffer);
      if (n > 0) report.append(buffer, static_cast<std::size_t>(n));
    }
    const pid_t done = waitpid(child, &status, WNOHANG);
    if (done == child) break;
    if (soak::Clock::now() >= deadline) {
      hung = true;
      kill(child, SIGKILL);
      waitpid(child, &status, 0);
      break;
    }
  }
  for (;;) {
    char buffer[512];
    const ssize_t n = read(channel[0], buffer, sizeof buffer);
    if (n <= 0) break;
    report.append(buffer, static_cast<std::size_t>(n));
  }
  close(channel[0]);

  if (hung) {
    outcome.summary = soak::Format("hung: still running after %d s, killed", bound_s);
    std::printf("phase %d %s: hung, killed after %d s: FAIL\n", phase.number, phase.name, bound_s);
  } else if (WIFSIGNALED(status)) {
    outcome.summary = soak::Format("crashed: %s", strsignal(WTERMSIG(status)));
    std::printf("phase %d %s: crashed (%s): FAIL\n", phase.number, phase.name, strsignal(WTERMSIG(status)));
  } else if (report.empty() || WEXITSTATUS(status) != 0) {
    outcome.summary = soak::Format("ended without its figures (exit status %d)", WEXITSTATUS(status));
    std::printf("phase %d %s: ended without its figures: FAIL\n", phase.number, phase.name);
  } else {
    outcome.pass = report[0] == 'P';
    outcome.summary = report.substr(1);
  }
  std::fflush(stdout);
  return outcome;
}

}  // namespace

int main(int argc, char** argv) {
  Options options;
  options.seed = static_cast<std::uint32_t>(time(nullptr)) ^ static_cast<std::uint32_t>(getpid());
  std::vector<bool> wanted(8, true);
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    const bool has_value = i + 1 < argc;
    if (arg == "--short") {
      options.short_run = true;
    } else if (arg == "--library" && has_value) {
      options.library = argv[++i];
    } else if (arg == "--ser2net" && has_value) {
      options.ser2net = argv[++i];
    } else if (arg == "--seed" && has_value) {
      char* end = nullptr;
      const unsigned long seed = std::strtoul(argv[++i], &end, 10);
      if (*end != '\0') {
        std::fprintf(stderr, "kelvaro-soak: --seed wants a number\n%s", kUsage);
        return 2;
      }
      options.seed = static_cast<std::uint32_t>(seed);
    } else if (arg == "--trace-lens" && has_value) {
      options.trace_lens = std::atoi(argv[++i]);
    } else if (arg == "--phases" && has_value) {
      wanted.assign(8, false);
      for (const char* p = argv[++i]; *p != '\0'; ++p) {
        if (*p >= '1' && *p <= '7') {
          wanted[static_cast<std::size_t>(*p - '0')] = true;
        } else if (*p != ',') {
          std::fprintf(stderr, "kelvaro-soak: --phases wants numbers 1 to 7\n%s", kUsage);
          return 2;
        }
      }
    } else if (arg == "--help" || arg == "-h") {
      std::fputs(kUsage, stdout);
      return 0;
    } else {
      std::fprintf(stderr, "kelvaro-soak: unknown argument \"%s\"\n%s", arg.c_str(), kUsage);
      return 2;
    }
  }
  if (options.library.empty()) options.library = NextToThisProgram("libKelvaro32.so");
  if (options.library.find('/') == std::string::npos) options.library = "./" + options.library;  // never a search
  if (access(options.library.c_str(), R_OK) != 0) {
    std::fprintf(stderr, "kelvaro-soak: no library at %s (--library PATH)\n", options.library.c_str());
    return 2;
  }
  if (options.ser2net.empty()) options.ser2net = FindProgram("ser2net");

  const char* tmp = getenv("TMPDIR");
  std::string scratch = std::string(tmp != nullptr && *tmp != '\0' ? tmp : "/tmp") + "/kelvaro-soak-XXXXXX";
  if (mkdtemp(scratch.data()) == nullptr) {
    std::fprintf(stderr, "kelvaro-soak: cannot make a scratch directory: %s\n", std::strerror(errno));
    return 1;
  }
  options.scratch = scratch;
  // A terminal gone away must not end the soak half-way; pipes closed early neither.
  signal(SIGPIPE, SIG_IGN);

  std::printf("kelvaro-soak: %s run, seed %u, library %s\n", options.short_run ? "short" : "full", options.seed,
              options.library.c_str());
  std::fflush(stdout);
  const auto start = soak::Clock::now();
  std::vector<std::pair<const Phase*, Outcome>> outcomes;
  for (const Phase& phase : kPhases) {
    if (!wanted[static_cast<std::size_t>(phase.number)]) continue;
    outcomes.emplace_back(&phase, RunPhase(phase, options));
  }
  // What a phase killed half-way may have left behind.
  for (const char* name : {"lens", "lens.new", "motion-lens", "motion-lens.new", "ser2net.yaml", "ser2net.yaml.pid"}) {
    unlink((scratch + "/" + name).c_str());
  }
  rmdir(scratch.c_str());

  bool all = true;
  std::string failed;
  std::printf("summary (%s run, seed %u, %.0f s):\n", options.short_run ? "short" : "full", options.seed,
              soak::SecondsSince(start));
  for (const auto& [phase, outcome] : outcomes) {
    std::printf("  %d %-14s %s  %s\n", phase->number, phase->name, outcome.pass ? "PASS" : "FAIL",
                outcome.summary.c_str());
    if (!outcome.pass) {
      all = false;
      failed += (failed.empty() ? "" : ", ") + std::to_string(phase->number);
    }
  }
  if (all) {
    std::printf("soak: PASS\n");
  } else {
    std::printf("soak: FAIL (phase %s)\n", failed.c_str());
  }
  return all ? 0 : 1;
}
