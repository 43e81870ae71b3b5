// print_console: the receiver's one way of writing messages. printf-style formatting
// into a 2,000-byte buffer, conversion to the terminal's character set, then output.
#pragma once

#include <cstddef>

inline constexpr size_t console_buffer_size = 2000;

// Returns the number of bytes written.
int print_console(const char* format, ...) __attribute__((format(printf, 1, 2)));

// The same for the process's last message: nothing is written after it.
int print_console_last(const char* format, ...) __attribute__((format(printf, 1, 2)));

// The character set print_console converts to; read from the locale at first use.
// Tests may set it.
void print_console_set_charset(const char* charset);
