// Child processes for the end-to-end tests of the tools: started with posix_spawnp, standard
// output and error captured, a bounded wait that marks a hang instead of blocking the suite.
#pragma once

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <optional>
#include <string>
#include <vector>

extern char** environ;

namespace tools_test {

class Process {
 public:
  // `input`, when given, is written to the child's standard input, which is then closed.
  explicit Process(const std::vector<std::string>& argv, const std::string* input = nullptr) {
    int out[2] = {-1, -1};
    int err[2] = {-1, -1};
    int in[2] = {-1, -1};
    if (::pipe2(out, O_CLOEXEC) != 0 || ::pipe2(err, O_CLOEXEC) != 0 || ::pipe2(in, O_CLOEXEC) != 0) {
      for (int fd : {out[0], out[1], err[0], err[1], in[0], in[1]}) {
        if (fd >= 0) ::close(fd);
      }
      return;
    }
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, in[0], 0);
    posix_spawn_file_actions_adddup2(&actions, out[1], 1);
    posix_spawn_file_actions_adddup2(&actions, err[1], 2);
    std::vector<char*> args;
    for (const std::string& arg : argv) args.push_back(const_cast<char*>(arg.c_str()));
    args.push_back(nullptr);
    if (posix_spawnp(&pid_, args[0], &actions, nullptr, args.data(), environ) != 0) pid_ = -1;
    posix_spawn_file_actions_destroy(&actions);
    ::close(out[1]);
    ::close(err[1]);
    ::close(in[0]);
    if (input != nullptr && pid_ > 0) {
      // A child that exits unread (or never started) must fail the test, not kill it by SIGPIPE.
      ::signal(SIGPIPE, SIG_IGN);
      [[maybe_unused]] const ssize_t n = ::write(in[1], input->data(), input->size());
    }
    ::close(in[1]);
    out_fd_ = out[0];
    err_fd_ = err[0];
  }

  ~Process() {
    if (pid_ > 0 && status_ == kRunning) {
      ::kill(pid_, SIGKILL);
      ::waitpid(pid_, nullptr, 0);
    }
    if (out_fd_ >= 0) ::close(out_fd_);
    if (err_fd_ >= 0) ::close(err_fd_);
  }

  Process(const Process&) = delete;
  Process& operator=(const Process&) = delete;

  bool Started() const { return pid_ > 0; }
  pid_t Pid() const { return pid_; }

  // The next line of standard output, without its LF; none at its end or after timeout_ms.
  std::optional<std::string> ReadLine(int timeout_ms) {
    const auto limit = Clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
      const std::size_t end = out_.find('\n', line_start_);
      if (end != std::string::npos) {
        std::string line = out_.substr(line_start_, end - line_start_);
        line_start_ = end + 1;
        return line;
      }
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(limit - Clock::now()).count();
      if (left <= 0 || !Pump(static_cast<int>(left))) return std::nullopt;
    }
  }

  // Sends `signal` (unless 0) and waits up to timeout_ms for the exit, reading all output.
  // The exit status; 128 + n for a death by signal n; -1 for a hang (the child is killed).
  int Wait(int timeout_ms, int signal = 0) {
    if (pid_ <= 0) return -1;
    if (signal != 0 && status_ == kRunning) ::kill(pid_, signal);
    const auto limit = Clock::now() + std::chrono::milliseconds(timeout_ms);
    for (;;) {
      const bool reading = Pump(50);
      if (status_ == kRunning) {
        int raw = 0;
        if (::waitpid(pid_, &raw, WNOHANG) == pid_) {
          status_ = WIFEXITED(raw) ? WEXITSTATUS(raw) : 128 + WTERMSIG(raw);
        }
      }
      if (status_ != kRunning && !reading) break;
      if (Clock::now() > limit) {
        if (status_ == kRunning) {
          ::kill(pid_, SIGKILL);
          ::waitpid(pid_, nullptr, 0);
          status_ = -1;
        }
        break;
      }
      if (!reading) ::usleep(10000);
    }
    return status_;
  }

  const std::string& Out() const { return out_; }
  const std::string& Err() const { return err_; }

 private:
  using Clock = std::chrono::steady_clock;
  static constexpr int kRunning = -2;

  // Reads what either pipe has within timeout_ms; false once both are at their end.
  bool Pump(int timeout_ms) {
    pollfd fds[2] = {{out_fd_, POLLIN, 0}, {err_fd_, POLLIN, 0}};
    if (out_fd_ < 0 && err_fd_ < 0) return false;
    if (::poll(fds, 2, timeout_ms) <= 0) return true;
    int* fd_of[2] = {&out_fd_, &err_fd_};
    std::string* text_of[2] = {&out_, &err_};
    for (int i = 0; i < 2; ++i) {
      if (fds[i].revents == 0) continue;
      char buffer[4096];
      const ssize_t n = ::read(*fd_of[i], buffer, sizeof buffer);
      if (n > 0) {
        text_of[i]->append(buffer, static_cast<std::size_t>(n));
      } else {
        ::close(*fd_of[i]);
        *fd_of[i] = -1;
      }
    }
    return true;
  }

  pid_t pid_ = -1;
  int out_fd_ = -1;
  int err_fd_ = -1;
  int status_ = kRunning;
  std::string out_;
  std::string err_;
  std::size_t line_start_ = 0;
};

struct Result {
  int status;
  std::string out;
  std::string err;
};

// Runs a program to its end; a run over timeout_ms counts as a hang (status -1).
inline Result RunProgram(const std::vector<std::string>& argv, const std::string* input = nullptr,
                  int timeout_ms = 30000) {
  Process process(argv, input);
  const int status = process.Wait(timeout_ms);
  return {status, process.Out(), process.Err()};
}

}  // namespace tools_test
