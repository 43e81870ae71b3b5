#include "platform/control_events.h"

#include <atomic>
#include <cstdint>
#include <pthread.h>
#include <thread>
#include <unistd.h>

#include "platform/terminal.h"
#include "platform/thread_name.h"

namespace {

std::atomic<ControlHandler> installed_handler{nullptr};
std::atomic<bool> waiter_started{false};
std::atomic<JobControlHook> hook_before_stop{nullptr};
std::atomic<JobControlHook> hook_after_continue{nullptr};

constexpr int handled_signals[] = {SIGINT, SIGQUIT, SIGHUP, SIGTERM, SIGTSTP, SIGCONT};

// The control signals that were ignored when the process started, one bit each: whoever
// started the receiver asked for that (nohup's SIGHUP; SIGINT and SIGQUIT of a job that a
// script put in the background; SIGTSTP of a shell without job control, where nobody
// could continue a stopped receiver), so they stay ignored rather than waited for.
std::atomic<uint64_t> ignored_at_start{0};

// SIGCONT is among them so that the waiting thread learns when the process has been
// continued; blocking it does not keep the process from continuing.
sigset_t control_signals() {
  const uint64_t ignored = ignored_at_start.load(std::memory_order_relaxed);
  sigset_t set;
  sigemptyset(&set);
  for (int s : handled_signals) {
    if ((ignored >> s & 1u) == 0) sigaddset(&set, s);
  }
  return set;
}

void run_hook(const std::atomic<JobControlHook>& hook) {
  if (JobControlHook h = hook.load()) h();
}

// Ctrl+Z: the shell gets a normal terminal while the receiver is stopped. Raw mode
// comes back only after the continue has been seen, never before the stop has taken
// hold (the shell sets its own modes in between).
void stop_and_continue() {
  run_hook(hook_before_stop);
  terminal_restore();
  sigset_t cont;
  sigemptyset(&cont);
  sigaddset(&cont, SIGCONT);
  const timespec now{0, 0};
  while (sigtimedwait(&cont, nullptr, &now) == SIGCONT) {
  }  // a continue from before this stop says nothing about it
  ::kill(::getpid(), SIGSTOP);
  int signal_number = 0;
  while (sigwait(&cont, &signal_number) != 0) {
  }
  terminal_reenter_raw();
  run_hook(hook_after_continue);
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
      stop_and_continue();
      continue;
    }
    if (signal_number == SIGCONT) {
      // Continued after a stop that was not ours (kill -STOP, or a read from the
      // background): whoever had the terminal may have changed its mode.
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
  uint64_t ignored = 0;
  for (int s : handled_signals) {
    // SIGCONT is always waited for: a stop of our own must learn of its continue.
    if (s == SIGCONT) continue;
    struct sigaction action {};
    if (sigaction(s, nullptr, &action) == 0 && action.sa_handler == SIG_IGN) ignored |= uint64_t{1} << s;
  }
  // Read again only by threads started after this, the waiting one among them.
  ignored_at_start.store(ignored, std::memory_order_relaxed);
  const sigset_t set = control_signals();
  pthread_sigmask(SIG_BLOCK, &set, nullptr);
}

void control_events_install(ControlHandler handler) {
  installed_handler.store(handler);
  if (!waiter_started.exchange(true)) std::thread(wait_for_signals).detach();
}

void control_events_remove() { installed_handler.store(nullptr); }

void control_events_set_job_hooks(JobControlHook before_stop, JobControlHook after_continue) {
  hook_before_stop.store(before_stop);
  hook_after_continue.store(after_continue);
}
