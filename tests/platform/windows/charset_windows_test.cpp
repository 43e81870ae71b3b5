#include "platform/charset.h"

#include <gtest/gtest.h>
#include <string>
#include <windows.h>

#include "tests/support/console_capture.h"

// What a redirected output gets: the OEM code page's bytes, as a file typed in the
// console needs them.
TEST(CharsetWindows, RussianTextBecomesOemBytesAndMissingCharactersQuestionMarks) {
  EXPECT_EQ(convert_from_utf8("Окончание цикла\n", "CP866", 2000),
            "\x8E\xAA\xAE\xAD\xE7\xA0\xAD\xA8\xA5 \xE6\xA8\xAA\xAB\xA0\n");
  EXPECT_EQ(convert_from_utf8("Окончание цикла\n", "cp1251", 2000),
            "\xCE\xEA\xEE\xED\xF7\xE0\xED\xE8\xE5 \xF6\xE8\xEA\xEB\xE0\n");
  EXPECT_EQ(convert_from_utf8("a\xE2\x82\xAC" "b\xF0\x9F\x93\xBB" "c", "CP437", 2000), "a?b?c");
}

TEST(CharsetWindows, OutputIsCutAtAWholeCharacterToFitTheBuffer) {
  EXPECT_EQ(convert_from_utf8("abcdef", "CP866", 4), "abc");
  // In UTF-8 a two-byte letter that does not fit whole is left out.
  EXPECT_EQ(convert_from_utf8("abЖ", "UTF-8", 4), "ab");
  EXPECT_EQ(convert_from_utf8("abЖ", "UTF-8", 5), "abЖ");
  EXPECT_EQ(convert_from_utf8("abc", "CP866", 0), "");
}

TEST(CharsetWindows, ARedirectedOutputGetsTheOemCodePage) {
  ConsoleCapture file;  // standard output pointed at a file: no console there
  EXPECT_EQ(terminal_charset(), "CP" + std::to_string(GetOEMCP()));
}
