// Searching what a program or a presenter wrote.
#pragma once

#include <cstddef>
#include <string>

// How many times `part` occurs in `text`, without overlaps.
inline size_t count_of(const std::string& text, const std::string& part) {
  size_t n = 0;
  for (size_t at = 0; (at = text.find(part, at)) != std::string::npos; at += part.size()) ++n;
  return n;
}
