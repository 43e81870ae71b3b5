#include "platform/control_events.h"

#include <atomic>
#include <pthread.h>
#include <thread>
#include <unistd.h>

#include "platform/terminal.h"
#include "platform/thread_name.h"

namespace {

std::atomic<ControlHandler> installed_handler{nullptr};
std::atomic<bool> waiter_started{false};

sigset_t control_signals() {
  sigset_t set;
  sigemptyset(&set);
  for (int s : {SIGINT, SIGQUIT, SIGHUP, SIGTERM, SIGTSTP}) sigaddset(&set, s);
  return set;
}

void end_by_default(int signal_number) {
  terminal_restore();
  sigset_t one;
  sigemptyset(&one);
  sigaddset(&one, signal_number);
  ::signal(signal_number, SIG_DFL);
  pthread_sigmask(SIG_UNBLOCK, &one, nullptr);
  ::raise(signal_number);
}

void wait_for_signals() {
  name_current_thread("signals");
  const sigset_t set = control_signals();
  for (;;) {
    int signal_number = 0;
    if (sigwait(&set, &signal_number) != 0) continue;
    if (signal_number == SIGTSTP) {
      // Ctrl+Z: give the shell a normal terminal while stopped, raw again after.
      terminal_restore();
      ::kill(::getpid(), SIGSTOP);
      terminal_reenter_raw();
      continue;
    }
    ControlHandler handler = installed_handler.load();
    if (!handler) {
      end_by_default(signal_number);
      continue;
    }
    if (handler(control_type_of_signal(signal_number)) == 0) {
      terminal_restore();
      _exit(0);
    }
  }
}

}  // namespace

int control_type_of_signal(int signal_number) {
  switch (signal_number) {
    case SIGINT: return ctrl_c_event;
    case SIGQUIT: return ctrl_break_event;
    case SIGHUP: return ctrl_close_event;
    case SIGTERM: return ctrl_shutdown_event;
    default: return -1;
  }
}

void control_events_block() {
  const sigset_t set = control_signals();
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

void control_events_install(ControlHandler handler) {
  installed_handler.store(handler);
  if (!waiter_started.exchange(true)) std::thread(wait_for_signals).detach();
}

void control_events_remove() { installed_handler.store(nullptr); }
