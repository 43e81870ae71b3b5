// The terminal's input mode. The receiver reads single key presses without echo while
// it runs, and puts the terminal back as it found it on every way out.
#pragma once

// Switches fd (a terminal) to raw input without echo, keeping signal generation so
// that Ctrl+C still arrives as a control event. Returns false if fd is no terminal.
bool terminal_enter_raw(int fd);

// Puts back the mode saved by terminal_enter_raw. Safe inside a signal handler; does
// nothing if no mode was saved.
void terminal_restore();

// Re-applies raw mode after terminal_restore (after the process was stopped and
// continued).
void terminal_reenter_raw();

// Makes fatal signals (SIGSEGV, SIGABRT, SIGBUS, SIGFPE, SIGILL) restore the
// terminal before the process dies of them.
void terminal_restore_on_fatal_signals();
