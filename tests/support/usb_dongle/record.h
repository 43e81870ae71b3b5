// The record file (RXIQ_USB_RECORD): one line per event, appended with a single write so
// that threads and processes sharing the file never interleave within a line.
#pragma once

// printf-style; the newline is added.
void record_line(const char* format, ...) __attribute__((format(printf, 1, 2)));
