#include "platform/charset.h"

#include <gtest/gtest.h>

TEST(Charset, ConvertsToTheTerminalSet) {
  // "Начало" in KOI8-R and in code page 866.
  EXPECT_EQ(convert_from_utf8("Начало цикла\n", "KOI8-R", 2000),
            "\xee\xc1\xde\xc1\xcc\xcf \xc3\xc9\xcb\xcc\xc1\n");
  EXPECT_EQ(convert_from_utf8("Начало", "CP866", 2000), "\x8d\xa0\xe7\xa0\xab\xae");
  EXPECT_EQ(convert_from_utf8("Начало", "UTF-8", 2000), "Начало");
  EXPECT_EQ(convert_from_utf8("Начало", "utf8", 2000), "Начало");
}

TEST(Charset, MissingCharactersDoNotCutTheMessageShort) {
  EXPECT_EQ(convert_from_utf8("Ок 100%\n", "ANSI_X3.4-1968", 2000), "?? 100%\n");
  EXPECT_EQ(convert_from_utf8("a\xff" "b", "KOI8-R", 2000), "a?b");  // malformed byte
  // An unknown character set leaves the text as it is rather than losing it.
  EXPECT_EQ(convert_from_utf8("text", "NO-SUCH-SET", 2000), "text");
}

TEST(Charset, TruncatesAtAWholeCharacter) {
  // Each Cyrillic letter is two bytes in UTF-8: a capacity of 6 leaves room for 2 letters.
  EXPECT_EQ(convert_from_utf8("ЖЖЖЖ", "UTF-8", 6), "ЖЖ");
  EXPECT_EQ(convert_from_utf8("ЖЖЖЖ", "KOI8-R", 3), "\xf6\xf6");
  EXPECT_EQ(convert_from_utf8("abc", "UTF-8", 0), "");
}

TEST(Charset, APlainAsciiLocaleWritesUtf8) {
  EXPECT_EQ(charset_for_codeset("ANSI_X3.4-1968"), "UTF-8");  // what C and POSIX report
  EXPECT_EQ(charset_for_codeset(""), "UTF-8");
  EXPECT_EQ(charset_for_codeset(nullptr), "UTF-8");
  EXPECT_EQ(charset_for_codeset("KOI8-R"), "KOI8-R");
  EXPECT_EQ(charset_for_codeset("UTF-8"), "UTF-8");
}
