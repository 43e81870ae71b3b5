// A small, strict JSON parser (RFC 8259): one value, objects, arrays, strings with their
// escapes, numbers, true, false, null. Whatever the input, it returns a value or a message
// naming the byte where the text stops being JSON; nesting deeper than json_max_depth is
// refused, so no input can exhaust the stack.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

inline constexpr int json_max_depth = 64;

struct JsonMember;

struct JsonValue {
  enum class Type { null, boolean, number, string, array, object };
  Type type = Type::null;
  bool boolean = false;
  double number = 0;
  std::string text;                                      // string
  std::vector<JsonValue> items;                          // array
  std::vector<JsonMember> members;  // object, in the order written

  // The member called name of an object (the last one, if written twice); null if absent
  // or if this is no object.
  const JsonValue* member(std::string_view name) const;
  bool is_number() const { return type == Type::number; }
  bool is_string() const { return type == Type::string; }
};

struct JsonMember {
  std::string name;
  JsonValue value;
};

// Parses text as one JSON value with nothing but white space around it. On failure returns
// false with error set ("at byte N: ...") and value undefined.
bool parse_json(std::string_view text, JsonValue& value, std::string& error);
