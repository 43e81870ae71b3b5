// The escape sequences by which a Linux terminal is told a temporary title and given its
// own back: push the title on the terminal's title stack, set it, pop it.
#pragma once

#include <string>

std::string title_push_text();
std::string title_set_text(const std::string& title);
std::string title_pop_text();
