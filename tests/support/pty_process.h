// Runs a program on a pseudo-terminal (or with a pipe as standard input), for tests
// that check what a person at the terminal would see.
#pragma once

#include <chrono>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <poll.h>
#include <pty.h>
#include <string>
#include <sys/wait.h>
#include <termios.h>
#include <unistd.h>
#include <vector>

class PtyProcess {
 public:
  // Starts program with args. With pipe_input, standard input is a pipe that the test
  // writes to and may close; standard output is the terminal either way.
  PtyProcess(const std::string& program, const std::vector<std::string>& args,
             const std::vector<std::string>& env, bool pipe_input = false) {
    winsize size{};
    size.ws_row = 50;
    size.ws_col = 120;
    if (openpty(&master_, &slave_, nullptr, nullptr, &size) != 0) return;
    int input_pipe[2] = {-1, -1};
    if (pipe_input && pipe(input_pipe) != 0) return;
    tcgetattr(slave_, &initial_mode_);
    pid_ = fork();
    if (pid_ == 0) {
      setsid();
      ioctl(slave_, TIOCSCTTY, 0);
      dup2(pipe_input ? input_pipe[0] : slave_, 0);
      dup2(slave_, 1);
      dup2(slave_, 2);
      for (const std::string& e : env) putenv(const_cast<char*>(e.c_str()));
      std::vector<char*> argv{const_cast<char*>(program.c_str())};
      for (const std::string& a : args) argv.push_back(const_cast<char*>(a.c_str()));
      argv.push_back(nullptr);
      // The test runner may have blocked or ignored signals; the program must start with
      // none of either, as from a shell at a terminal (it keeps the ignored ones ignored).
      sigset_t none;
      sigemptyset(&none);
      sigprocmask(SIG_SETMASK, &none, nullptr);
      for (int s : {SIGINT, SIGQUIT, SIGHUP, SIGTERM, SIGTSTP}) signal(s, SIG_DFL);
      execv(program.c_str(), argv.data());
      _exit(127);
    }
    if (pipe_input) {
      close(input_pipe[0]);
      input_ = input_pipe[1];
    } else {
      input_ = master_;
    }
  }

  ~PtyProcess() {
    if (pid_ > 0 && !exited_) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
    if (input_ >= 0 && input_ != master_) close(input_);
    if (master_ >= 0) close(master_);
    if (slave_ >= 0) close(slave_);
  }

  bool started() const { return pid_ > 0; }
  pid_t pid() const { return pid_; }

  void send(const std::string& bytes) {
    if (write(input_, bytes.data(), bytes.size()) < 0) return;
  }
  void close_input() {
    if (input_ != master_ && input_ >= 0) {
      close(input_);
      input_ = -1;
    }
  }

  // Reads output until it contains needle (true) or the time limit passes (false).
  bool wait_for(const std::string& needle, std::chrono::milliseconds limit) {
    auto deadline = std::chrono::steady_clock::now() + limit;
    while (output_.find(needle) == std::string::npos) {
      auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0) return false;
      read_some(static_cast<int>(left.count()));
    }
    return true;
  }

  // Waits for the program to end; returns its wait status, or -1 on time-out.
  int wait_exit(std::chrono::milliseconds limit) {
    auto deadline = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < deadline) {
      int status = 0;
      if (waitpid(pid_, &status, WNOHANG) == pid_) {
        exited_ = true;
        while (read_some(50)) {
        }
        return status;
      }
      read_some(20);
    }
    return -1;
  }

  const std::string& output() const { return output_; }

  // The terminal's mode now, compared with the one it had before the program started.
  bool mode_restored() const {
    termios now{};
    tcgetattr(slave_, &now);
    return now.c_lflag == initial_mode_.c_lflag && now.c_iflag == initial_mode_.c_iflag &&
           now.c_oflag == initial_mode_.c_oflag && now.c_cc[VMIN] == initial_mode_.c_cc[VMIN];
  }
  // Puts the terminal back in the mode it had at the start, as a shell does when it
  // takes the terminal back from a stopped job.
  void reset_mode() { tcsetattr(slave_, TCSANOW, &initial_mode_); }
  // Waits until the program has stopped (true) or the limit passed (false).
  bool wait_stopped(std::chrono::milliseconds limit) {
    auto deadline = std::chrono::steady_clock::now() + limit;
    while (std::chrono::steady_clock::now() < deadline) {
      int status = 0;
      if (waitpid(pid_, &status, WNOHANG | WUNTRACED) == pid_ && WIFSTOPPED(status)) return true;
      read_some(20);
    }
    return false;
  }
  bool mode_is_raw() const {
    termios now{};
    tcgetattr(slave_, &now);
    return (now.c_lflag & (ICANON | ECHO)) == 0 && (now.c_lflag & ISIG) != 0;
  }

 private:
  bool read_some(int timeout_ms) {
    pollfd p{master_, POLLIN, 0};
    if (poll(&p, 1, timeout_ms) <= 0) return false;
    char buffer[4096];
    ssize_t n = read(master_, buffer, sizeof buffer);
    if (n <= 0) return false;
    // The terminal turns each newline into CR LF; keep the program's own text.
    for (ssize_t i = 0; i < n; ++i) {
      if (buffer[i] != '\r') output_ += buffer[i];
    }
    return true;
  }

  int master_ = -1;
  int slave_ = -1;
  int input_ = -1;
  pid_t pid_ = -1;
  bool exited_ = false;
  termios initial_mode_{};
  std::string output_;
};

// Waits until the terminal is raw, reading output meanwhile.
inline bool wait_raw(PtyProcess& rx) {
  using namespace std::chrono_literals;
  auto deadline = std::chrono::steady_clock::now() + 10s;
  while (!rx.mode_is_raw() && std::chrono::steady_clock::now() < deadline) rx.wait_for("\x01", 10ms);
  return rx.mode_is_raw();
}

// Waits until the receiver's key loop runs: the banner is out, the terminal's answer to
// the display probe has been given (as a terminal would), and the mode is raw.
inline bool wait_for_key_loop(PtyProcess& rx) {
  using namespace std::chrono_literals;
  if (!rx.wait_for("Выходные устройства", 20s)) return false;
  if (!rx.wait_for("\x1b[c", 10s)) return false;
  rx.send("\x1b[?62;22c");  // primary device attributes: ends the probe
  return wait_raw(rx);
}
