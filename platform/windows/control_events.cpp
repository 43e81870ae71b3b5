#include "platform/control_events.h"

#include <atomic>
#include <windows.h>

#include "platform/terminal.h"
#include "platform/windows/control_routine.h"

namespace {

std::atomic<ControlHandler> installed_handler{nullptr};
std::atomic<bool> routine_added{false};

}  // namespace

BOOL WINAPI control_routine(DWORD control_type) {
  const ControlHandler handler = installed_handler.load();
  if (!handler) return FALSE;
  if (handler(static_cast<int>(control_type)) != 0) return TRUE;
  // The system ends the process next; the console must not be left without echo.
  terminal_restore();
  return FALSE;
}

int control_type_of_signal(int signal_number) {
  switch (signal_number) {
    case SIGINT: return ctrl_c_event;
    case SIGBREAK: return ctrl_break_event;
    case SIGTERM: return ctrl_shutdown_event;
    default: return -1;
  }
}

// Control events come on a thread the system makes for each; there is no signal mask.
void control_events_block() {}

void control_events_install(ControlHandler handler) {
  installed_handler.store(handler);
  if (!routine_added.exchange(true)) SetConsoleCtrlHandler(control_routine, TRUE);
}

void control_events_remove() {
  installed_handler.store(nullptr);
  if (routine_added.exchange(false)) SetConsoleCtrlHandler(control_routine, FALSE);
}

// The Windows console has no job control: nothing stops the process behind the shell's
// back, so there is nothing to do before a stop or after a continue.
void control_events_set_job_hooks(JobControlHook, JobControlHook) {}
