#include "platform/terminal_window.h"

#include <cstdio>

std::string console_title_text(uint32_t tick, int process_id) {
  char text[64];
  std::snprintf(text, sizeof text, "%d/%d", static_cast<int32_t>(tick), process_id);
  return text;
}
