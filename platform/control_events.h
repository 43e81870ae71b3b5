// Console control events, delivered as POSIX signals and handled on an ordinary
// thread (never inside a signal handler): SIGINT is Ctrl+C, SIGQUIT Ctrl+Break,
// SIGHUP a close of the terminal and SIGTERM a shutdown.
#pragma once

#include <csignal>

enum ControlType : int {
  ctrl_c_event = 0,
  ctrl_break_event = 1,
  ctrl_close_event = 2,
  ctrl_logoff_event = 5,
  ctrl_shutdown_event = 6,
};

// The control type a signal stands for, or -1.
int control_type_of_signal(int signal_number);

// A handler returns nonzero when it consumed the event; zero lets the default
// processing follow: the terminal is restored and the process ends with status 0.
using ControlHandler = int (*)(int control_type);

// Blocks the control signals in the calling thread. Call in main before any other
// thread starts, so that every thread inherits the mask and only the waiting thread
// receives them. A signal the process was started with ignored (nohup's SIGHUP) stays
// ignored and never reaches the handler.
void control_events_block();

// Installs handler and starts the thread that waits for the signals (once).
void control_events_install(ControlHandler handler);

// Removes the handler: from now on a control signal ends the process as by default.
void control_events_remove();

// Job control (Ctrl+Z, then fg). before_stop runs on the signal thread before the
// terminal is handed to the shell (the receiver takes its picture away there);
// after_continue runs once the process has been continued and the terminal is raw
// again (the picture comes back). Either may be null.
using JobControlHook = void (*)();
void control_events_set_job_hooks(JobControlHook before_stop, JobControlHook after_continue);
