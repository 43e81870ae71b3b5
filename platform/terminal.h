// The terminal's input mode. The receiver reads single key presses without echo while
// it runs, and puts the terminal back as it found it on every way out.
#pragma once

#include <string>

// The descriptors of standard input and output.
inline constexpr int standard_input = 0;
inline constexpr int standard_output = 1;

// Whether fd is a terminal (on Windows, a console).
bool terminal_is(int fd);

// Opens the null device on whichever of standard input, output and error is closed, so
// that no file or socket opened later takes its number: a receiver started with one of
// them closed would read keys from, or write messages into, that file.
void standard_streams_keep_open();

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

// Whether the terminal on in_fd and out_fd answers the queries written to it: both must
// be terminals, and a Windows console answers none.
bool terminal_answers_queries(int in_fd, int out_fd);

// Writes all of text to fd; false when a write fails.
bool terminal_write_all(int fd, const std::string& text);

// Waits at most timeout_ms for one byte on fd and reads it: the byte (0-255), or one of
// these when there is none.
inline constexpr int terminal_read_none = -1;  // the time ran out, or a signal came
inline constexpr int terminal_read_end = -2;   // the input ended or failed
int terminal_read_byte(int fd, int timeout_ms);
