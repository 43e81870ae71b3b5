#include "recording/json.h"

#include <charconv>
#include <cmath>
#include <system_error>

namespace {

struct Parser {
  std::string_view text;
  size_t at = 0;
  std::string error;

  bool fail(const char* what) {
    if (error.empty()) error = "at byte " + std::to_string(at) + ": " + what;
    return false;
  }

  void skip_space() {
    while (at < text.size() &&
           (text[at] == ' ' || text[at] == '\t' || text[at] == '\n' || text[at] == '\r')) {
      ++at;
    }
  }

  bool literal(std::string_view word) {
    if (text.substr(at, word.size()) != word) return fail("not a JSON value");
    at += word.size();
    return true;
  }

  static int hex_digit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
  }

  bool hex4(unsigned& unit) {
    if (text.size() - at < 4) return fail("a \\u escape is cut short");
    unit = 0;
    for (int k = 0; k < 4; ++k) {
      const int d = hex_digit(text[at + static_cast<size_t>(k)]);
      if (d < 0) return fail("a \\u escape needs four hexadecimal digits");
      unit = unit * 16 + static_cast<unsigned>(d);
    }
    at += 4;
    return true;
  }

  static void put_utf8(std::string& out, unsigned code) {
    if (code < 0x80) {
      out += static_cast<char>(code);
    } else if (code < 0x800) {
      out += static_cast<char>(0xC0 | (code >> 6));
      out += static_cast<char>(0x80 | (code & 0x3F));
    } else if (code < 0x10000) {
      out += static_cast<char>(0xE0 | (code >> 12));
      out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (code & 0x3F));
    } else {
      out += static_cast<char>(0xF0 | (code >> 18));
      out += static_cast<char>(0x80 | ((code >> 12) & 0x3F));
      out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
      out += static_cast<char>(0x80 | (code & 0x3F));
    }
  }

  bool string(std::string& out) {
    ++at;  // the opening quote
    while (true) {
      if (at >= text.size()) return fail("a string is not closed");
      const auto c = static_cast<unsigned char>(text[at]);
      if (c == '"') {
        ++at;
        return true;
      }
      if (c < 0x20) return fail("a control character inside a string");
      if (c != '\\') {
        out += static_cast<char>(c);
        ++at;
        continue;
      }
      if (++at >= text.size()) return fail("a string is not closed");
      const char e = text[at++];
      switch (e) {
        case '"': out += '"'; break;
        case '\\': out += '\\'; break;
        case '/': out += '/'; break;
        case 'b': out += '\b'; break;
        case 'f': out += '\f'; break;
        case 'n': out += '\n'; break;
        case 'r': out += '\r'; break;
        case 't': out += '\t'; break;
        case 'u': {
          unsigned unit = 0;
          if (!hex4(unit)) return false;
          if (unit >= 0xD800 && unit < 0xDC00) {
            unsigned low = 0;
            if (text.substr(at, 2) != "\\u") return fail("a lone surrogate in a \\u escape");
            at += 2;
            if (!hex4(low)) return false;
            if (low < 0xDC00 || low >= 0xE000) return fail("a lone surrogate in a \\u escape");
            unit = 0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00);
          } else if (unit >= 0xDC00 && unit < 0xE000) {
            return fail("a lone surrogate in a \\u escape");
          }
          put_utf8(out, unit);
          break;
        }
        default: --at; return fail("an unknown escape in a string");
      }
    }
  }

  bool number(double& out) {
    const size_t start = at;
    auto digits = [&] {
      const size_t from = at;
      while (at < text.size() && text[at] >= '0' && text[at] <= '9') ++at;
      return at - from;
    };
    if (at < text.size() && text[at] == '-') ++at;
    if (at < text.size() && text[at] == '0') {
      ++at;
    } else if (digits() == 0) {
      return fail("not a JSON value");
    }
    if (at < text.size() && text[at] == '.') {
      ++at;
      if (digits() == 0) return fail("a number needs digits after its point");
    }
    if (at < text.size() && (text[at] == 'e' || text[at] == 'E')) {
      ++at;
      if (at < text.size() && (text[at] == '+' || text[at] == '-')) ++at;
      if (digits() == 0) return fail("a number needs digits in its exponent");
    }
    // from_chars reads the same whatever the locale (the receiver sets the user's, whose
    // decimal point may be a comma).
    const auto [end, code] = std::from_chars(text.data() + start, text.data() + at, out);
    if (code == std::errc::result_out_of_range) {
      // Too small underflows to zero; too large is refused.
      const size_t e = text.find_first_of("eE", start);
      if (e < at && text[e + 1] == '-') {
        out = 0;
        return true;
      }
      return fail("a number too large");
    }
    if (code != std::errc() || end != text.data() + at || !std::isfinite(out)) {
      return fail("a number too large");
    }
    return true;
  }

  bool value(JsonValue& v, int depth) {
    skip_space();
    if (at >= text.size()) return fail("the text ends where a value should be");
    const char c = text[at];
    if (c == '{' || c == '[') {
      if (depth >= json_max_depth) return fail("nested too deeply");
      return c == '{' ? object(v, depth + 1) : array(v, depth + 1);
    }
    if (c == '"') {
      v.type = JsonValue::Type::string;
      return string(v.text);
    }
    if (c == 't' || c == 'f') {
      v.type = JsonValue::Type::boolean;
      v.boolean = c == 't';
      return literal(c == 't' ? "true" : "false");
    }
    if (c == 'n') {
      v.type = JsonValue::Type::null;
      return literal("null");
    }
    v.type = JsonValue::Type::number;
    return number(v.number);
  }

  bool array(JsonValue& v, int depth) {
    v.type = JsonValue::Type::array;
    ++at;
    skip_space();
    if (at < text.size() && text[at] == ']') {
      ++at;
      return true;
    }
    while (true) {
      v.items.emplace_back();
      if (!value(v.items.back(), depth)) return false;
      skip_space();
      if (at >= text.size()) return fail("an array is not closed");
      if (text[at] == ']') {
        ++at;
        return true;
      }
      if (text[at] != ',') return fail("expected , or ] in an array");
      ++at;
    }
  }

  bool object(JsonValue& v, int depth) {
    v.type = JsonValue::Type::object;
    ++at;
    skip_space();
    if (at < text.size() && text[at] == '}') {
      ++at;
      return true;
    }
    while (true) {
      skip_space();
      if (at >= text.size() || text[at] != '"') return fail("expected a member's name in quotes");
      JsonMember member;
      if (!string(member.name)) return false;
      skip_space();
      if (at >= text.size() || text[at] != ':') return fail("expected : after a member's name");
      ++at;
      if (!value(member.value, depth)) return false;
      v.members.push_back(std::move(member));
      skip_space();
      if (at >= text.size()) return fail("an object is not closed");
      if (text[at] == '}') {
        ++at;
        return true;
      }
      if (text[at] != ',') return fail("expected , or } in an object");
      ++at;
    }
  }
};

}  // namespace

const JsonValue* JsonValue::member(std::string_view name) const {
  if (type != Type::object) return nullptr;
  const JsonValue* found = nullptr;
  for (const auto& m : members) {
    if (m.name == name) found = &m.value;
  }
  return found;
}

bool parse_json(std::string_view text, JsonValue& value, std::string& error) {
  Parser p{text, 0, {}};
  value = JsonValue{};
  bool ok = p.value(value, 0);
  if (ok) {
    p.skip_space();
    if (p.at != text.size()) ok = p.fail("more text after the value");
  }
  error = ok ? std::string() : p.error;
  return ok;
}
