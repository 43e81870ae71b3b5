#include "recording/json.h"

#include <gtest/gtest.h>

#include <string>

TEST(Json, ReadsValuesWithTheirEscapes) {
  JsonValue v;
  std::string error;
  ASSERT_TRUE(parse_json(
      R"( {"a": [1, -2.5e3, true, false, null], "s": "x\"\\\/\n\u00e9\ud83d\ude00", "a": 0} )", v,
      error))
      << error;
  ASSERT_EQ(v.type, JsonValue::Type::object);
  EXPECT_EQ(v.member("a")->number, 0) << "the last of a name written twice";
  const JsonValue& list = v.members[0].value;
  ASSERT_EQ(list.items.size(), 5u);
  EXPECT_EQ(list.items[1].number, -2500);
  EXPECT_TRUE(list.items[2].boolean);
  EXPECT_EQ(list.items[4].type, JsonValue::Type::null);
  EXPECT_EQ(v.member("s")->text, "x\"\\/\n\xC3\xA9\xF0\x9F\x98\x80");
  EXPECT_EQ(v.member("missing"), nullptr);

  ASSERT_TRUE(parse_json("[0.25, 1e-999, -0]", v, error)) << error;
  EXPECT_EQ(v.items[0].number, 0.25);
  EXPECT_EQ(v.items[1].number, 0) << "too small is zero";
}

TEST(Json, RefusesWhatIsNotJsonAndSaysWhere) {
  struct Case {
    std::string text;
    const char* error;
  };
  const Case cases[] = {
      {"", "at byte 0: the text ends where a value should be"},
      {"{\"a\":1,}", "at byte 7: expected a member's name in quotes"},
      {"[1 2]", "at byte 3: expected , or ] in an array"},
      {"01", "at byte 1: more text after the value"},
      {"1.", "at byte 2: a number needs digits after its point"},
      {"1e999", "at byte 5: a number too large"},
      {"\"ab", "at byte 3: a string is not closed"},
      {"\"\\ud800\"", "at byte 7: a lone surrogate in a \\u escape"},
      {"\"\\x\"", "at byte 2: an unknown escape in a string"},
      {"\"a\tb\"", "at byte 2: a control character inside a string"},
      {"tru", "at byte 0: not a JSON value"},
      {"{\"a\" 1}", "at byte 5: expected : after a member's name"},
      {std::string(json_max_depth + 1, '['), "at byte 64: nested too deeply"},
      {std::string(100000, '['), "at byte 64: nested too deeply"},
  };
  for (const Case& c : cases) {
    JsonValue v;
    std::string error;
    EXPECT_FALSE(parse_json(c.text, v, error)) << c.text;
    EXPECT_EQ(error, c.error) << c.text.substr(0, 20);
  }
  JsonValue v;
  std::string error;
  EXPECT_TRUE(parse_json(std::string(json_max_depth, '[') + std::string(json_max_depth, ']'), v, error))
      << error;
}
