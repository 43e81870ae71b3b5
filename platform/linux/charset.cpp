#include "platform/charset.h"

#include <algorithm>
#include <cerrno>
#include <iconv.h>
#include <langinfo.h>

namespace {

bool is_ascii_name(const std::string& charset) {
  return charset.empty() || charset == "ANSI_X3.4-1968" || charset == "ASCII" ||
         charset == "US-ASCII" || charset == "646";
}

bool is_utf8_name(const std::string& charset) {
  std::string upper;
  for (char c : charset) {
    if (c != '-' && c != '_') upper += static_cast<char>(c >= 'a' && c <= 'z' ? c - 32 : c);
  }
  return upper == "UTF8";
}

// Length of the UTF-8 sequence that starts with byte b (1 for a stray byte).
size_t utf8_length(unsigned char b) {
  if (b >= 0xF0 && b < 0xF8) return 4;
  if (b >= 0xE0) return b < 0xF0 ? 3 : 1;
  if (b >= 0xC0) return 2;
  return 1;
}

// Cuts text after the last whole UTF-8 character that fits in limit bytes; a
// character already cut by an earlier truncation is dropped too.
std::string cut_utf8(const std::string& text, size_t limit) {
  size_t end = std::min(text.size(), limit);
  size_t start = end;
  while (start > 0 && (static_cast<unsigned char>(text[start - 1]) & 0xC0) == 0x80) --start;
  if (start > 0) {
    unsigned char lead = static_cast<unsigned char>(text[start - 1]);
    if (lead >= 0xC0 && utf8_length(lead) > end - (start - 1)) end = start - 1;
  }
  return text.substr(0, end);
}

}  // namespace

std::string charset_for_codeset(const char* codeset) {
  const std::string name = codeset ? codeset : "";
  return is_ascii_name(name) ? "UTF-8" : name;
}

std::string terminal_charset() { return charset_for_codeset(nl_langinfo(CODESET)); }

std::string convert_from_utf8(const std::string& text, const std::string& charset,
                              size_t capacity) {
  const size_t limit = capacity > 0 ? capacity - 1 : 0;
  if (is_utf8_name(charset)) return cut_utf8(text, limit);

  iconv_t cd = iconv_open(charset.c_str(), "UTF-8");
  if (cd == reinterpret_cast<iconv_t>(-1)) return cut_utf8(text, limit);

  std::string out;
  char buffer[64];
  const char* in = text.data();
  size_t in_left = text.size();
  while (in_left > 0 && out.size() < limit) {
    // One character at a time, so that output can be cut at a character boundary.
    size_t char_len = utf8_length(static_cast<unsigned char>(*in));
    if (char_len > in_left) break;  // a character cut by an earlier truncation
    char* in_ptr = const_cast<char*>(in);
    size_t in_char = char_len;
    char* out_ptr = buffer;
    size_t out_left = sizeof buffer;
    size_t r = iconv(cd, &in_ptr, &in_char, &out_ptr, &out_left);
    std::string piece;
    if (r == static_cast<size_t>(-1)) {
      piece = "?";
      iconv(cd, nullptr, nullptr, nullptr, nullptr);  // reset shift state after a failure
    } else {
      piece.assign(buffer, static_cast<size_t>(out_ptr - buffer));
    }
    if (out.size() + piece.size() > limit) break;
    out += piece;
    in += char_len;
    in_left -= char_len;
  }
  iconv_close(cd);
  return out;
}
