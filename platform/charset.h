// Conversion of the receiver's UTF-8 messages to the terminal's character set.
#pragma once

#include <cstddef>
#include <string>

// The character set of the current locale (LC_CTYPE), as iconv names it.
std::string terminal_charset();

// Converts UTF-8 text to charset. Characters the target set lacks become '?', and
// malformed input bytes too; the rest of the text always follows. The result is cut
// at a whole character so that it fits in capacity - 1 bytes.
std::string convert_from_utf8(const std::string& text, const std::string& charset,
                              size_t capacity);
