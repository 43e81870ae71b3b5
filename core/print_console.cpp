#include "core/print_console.h"

#include <cstdarg>
#include <cstdio>
#include <mutex>
#include <string>

#include "platform/charset.h"
#include "platform/console_out.h"

namespace {

std::mutex charset_lock;
std::string charset;  // empty until first use

std::string current_charset() {
  std::lock_guard<std::mutex> guard(charset_lock);
  if (charset.empty()) charset = terminal_charset();
  return charset;
}

}  // namespace

void print_console_set_charset(const char* name) {
  std::lock_guard<std::mutex> guard(charset_lock);
  charset = name ? name : "";
}

namespace {

int print_formatted(bool last, const char* format, va_list args) {
  char text[console_buffer_size];
  // vsnprintf truncates safely and always terminates the buffer.
  vsnprintf(text, sizeof text, format, args);
  // The converted text is written as it is: a '%' in it is not a conversion.
  std::string converted = convert_from_utf8(text, current_charset(), console_buffer_size);
  return static_cast<int>(console_write(converted, last));
}

}  // namespace

int print_console(const char* format, ...) {
  va_list args;
  va_start(args, format);
  const int written = print_formatted(false, format, args);
  va_end(args);
  return written;
}

int print_console_last(const char* format, ...) {
  va_list args;
  va_start(args, format);
  const int written = print_formatted(true, format, args);
  va_end(args);
  return written;
}
