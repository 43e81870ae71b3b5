#include "platform/terminal.h"

#include <atomic>
#include <csignal>
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
