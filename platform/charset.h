// Conversion of the receiver's UTF-8 messages to the terminal's character set.
#pragma once

#include <cstddef>
#include <string>

// The character set messages are written in: that of the current locale (LC_CTYPE), as
// iconv names it, except that a plain ASCII locale (C, POSIX, or none set) gets UTF-8,
// the way other modern programs treat it, so that the Russian messages stay readable.
std::string terminal_charset();

// The same choice for a given nl_langinfo(CODESET) answer (null counts as none).
std::string charset_for_codeset(const char* codeset);

// Converts UTF-8 text to charset. Characters the target set lacks become '?', and
// malformed input bytes too; the rest of the text always follows. The result is cut
// at a whole character so that it fits in capacity - 1 bytes.
std::string convert_from_utf8(const std::string& text, const std::string& charset,
                              size_t capacity);
