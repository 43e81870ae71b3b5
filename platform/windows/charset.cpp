#include "platform/charset.h"

#include <cstdlib>
#include <io.h>
#include <windows.h>

#include "platform/console_out.h"

std::string terminal_charset() {
  // A console takes the text as UTF-16 (console_write converts it there); a redirected
  // output gets the OEM code page's bytes, so that a file typed in the console reads
  // correctly.
  DWORD mode = 0;
  const HANDLE handle = reinterpret_cast<HANDLE>(_get_osfhandle(console_out.fd));
  if (handle != INVALID_HANDLE_VALUE && GetConsoleMode(handle, &mode)) return "UTF-8";
  return "CP" + std::to_string(GetOEMCP());
}

namespace {

// The code page a name stands for: "UTF-8" or "CP<number>"; 0 for anything else.
UINT code_page_of(const std::string& charset) {
  std::string upper;
  for (char c : charset) {
    if (c != '-' && c != '_') upper += static_cast<char>(c >= 'a' && c <= 'z' ? c - 32 : c);
  }
  if (upper == "UTF8") return CP_UTF8;
  if (upper.size() > 2 && upper.compare(0, 2, "CP") == 0) {
    return static_cast<UINT>(std::strtoul(upper.c_str() + 2, nullptr, 10));
  }
  return 0;
}

}  // namespace

std::string convert_from_utf8(const std::string& text, const std::string& charset,
                              size_t capacity) {
  const size_t limit = capacity > 0 ? capacity - 1 : 0;
  const int in_length = static_cast<int>(text.size());
  const int wide_length = MultiByteToWideChar(CP_UTF8, 0, text.data(), in_length, nullptr, 0);
  std::wstring wide(static_cast<size_t>(wide_length), L'\0');
  MultiByteToWideChar(CP_UTF8, 0, text.data(), in_length, wide.data(), wide_length);

  UINT code_page = code_page_of(charset);
  if (code_page == 0) code_page = CP_UTF8;
  std::string out;
  char piece[8];
  // One character (one or two UTF-16 units) at a time, so that the output is cut at a
  // character boundary; a character the code page lacks becomes '?'.
  for (size_t k = 0; k < wide.size();) {
    const size_t units = IS_HIGH_SURROGATE(wide[k]) && k + 1 < wide.size() ? 2 : 1;
    BOOL lossy = FALSE;
    const bool utf8 = code_page == CP_UTF8;
    int n = WideCharToMultiByte(code_page, utf8 ? 0 : WC_NO_BEST_FIT_CHARS, wide.data() + k,
                                static_cast<int>(units), piece, sizeof piece, utf8 ? nullptr : "?",
                                utf8 ? nullptr : &lossy);
    if (n <= 0 || lossy) {
      piece[0] = '?';
      n = 1;
    }
    if (out.size() + static_cast<size_t>(n) > limit) break;
    out.append(piece, static_cast<size_t>(n));
    k += units;
  }
  return out;
}
