#include "platform/terminal.h"

#include <atomic>
#include <cerrno>
#include <csignal>
#include <fcntl.h>
#include <poll.h>
#include <termios.h>
#include <unistd.h>

namespace {

struct SavedTerminal {
  termios original{};
  termios raw{};
  int fd = -1;
  std::atomic<bool> saved{false};  // set after original is stored
};
SavedTerminal saved_terminal;

void restore_and_reraise(int signal_number) {
  terminal_restore();
  ::signal(signal_number, SIG_DFL);
  ::raise(signal_number);
}

}  // namespace

bool terminal_is(int fd) { return isatty(fd) != 0; }

void standard_streams_keep_open() {
  for (int fd = 0; fd <= 2; ++fd) {
    if (fcntl(fd, F_GETFD) != -1 || errno != EBADF) continue;
    // The lowest free number: this one, as those below it are open by now.
    const int opened = ::open("/dev/null", fd == 0 ? O_RDONLY : O_WRONLY);
    if (opened >= 0 && opened != fd) {
      dup2(opened, fd);
      close(opened);
    }
  }
}

bool terminal_enter_raw(int fd) {
  termios mode{};
  if (!isatty(fd) || tcgetattr(fd, &mode) != 0) return false;
  saved_terminal.original = mode;
  mode.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO | IEXTEN);
  mode.c_iflag &= ~static_cast<tcflag_t>(IXON | ICRNL);
  mode.c_cc[VMIN] = 1;
  mode.c_cc[VTIME] = 0;
  saved_terminal.raw = mode;
  saved_terminal.fd = fd;
  saved_terminal.saved.store(true, std::memory_order_release);
  return tcsetattr(fd, TCSANOW, &mode) == 0;
}

void terminal_restore() {
  if (saved_terminal.saved.load(std::memory_order_acquire)) {
    tcsetattr(saved_terminal.fd, TCSANOW, &saved_terminal.original);
  }
}

void terminal_reenter_raw() {
  if (saved_terminal.saved.load(std::memory_order_acquire)) {
    tcsetattr(saved_terminal.fd, TCSANOW, &saved_terminal.raw);
  }
}

void terminal_restore_on_fatal_signals() {
  for (int s : {SIGSEGV, SIGABRT, SIGBUS, SIGFPE, SIGILL}) {
    struct sigaction action {};
    action.sa_handler = restore_and_reraise;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESETHAND;
    sigaction(s, &action, nullptr);
  }
}

bool terminal_answers_queries(int in_fd, int out_fd) { return isatty(in_fd) && isatty(out_fd); }

bool terminal_write_all(int fd, const std::string& text) {
  size_t sent = 0;
  while (sent < text.size()) {
    const ssize_t n = ::write(fd, text.data() + sent, text.size() - sent);
    if (n <= 0) return false;
    sent += static_cast<size_t>(n);
  }
  return true;
}

int terminal_read_byte(int fd, int timeout_ms) {
  pollfd p{fd, POLLIN, 0};
  if (::poll(&p, 1, timeout_ms) <= 0) return terminal_read_none;
  uint8_t byte = 0;
  return ::read(fd, &byte, 1) == 1 ? byte : terminal_read_end;
}
