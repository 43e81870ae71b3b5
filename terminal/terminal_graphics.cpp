#include "terminal/terminal_graphics.h"

#include <cstdlib>
#include <cstring>
#include <vector>

#include "platform/window_drawing.h"

TerminalCaps terminal_caps;

namespace {

constexpr const char* kitty_query_id = "31";

std::vector<int> numbers_of(const std::string& text) {
  std::vector<int> numbers;
  int value = 0;
  bool any = false;
  for (char ch : text) {
    if (ch >= '0' && ch <= '9') {
      if (value < 100000000) value = value * 10 + (ch - '0');
      any = true;
    } else if (ch == ';') {
      numbers.push_back(any ? value : 0);
      value = 0;
      any = false;
    }
  }
  numbers.push_back(any ? value : 0);
  return numbers;
}

void csi_reply(ProbeReader& reader, char final_byte, TerminalCaps& caps) {
  const std::string& params = reader.body;
  if (final_byte == 'c' && !params.empty() && params[0] == '?') {
    const std::vector<int> attributes = numbers_of(params.substr(1));
    for (size_t i = 1; i < attributes.size(); ++i) {  // the first is the terminal class
      if (attributes[i] == 4) caps.sixel = true;
    }
    caps.probed = true;
    reader.done = true;
  } else if (final_byte == 'S' && !params.empty() && params[0] == '?') {
    // XTSMGRAPHICS reply: item 2 (sixel geometry), status 0 (success), width, height.
    const std::vector<int> n = numbers_of(params.substr(1));
    if (n.size() == 4 && n[0] == 2 && n[1] == 0 && n[2] > 0 && n[3] > 0) {
      caps.sixel_max_width = n[2];
      caps.sixel_max_height = n[3];
    }
  } else if (final_byte == 't') {
    const std::vector<int> n = numbers_of(params);
    if (n.size() == 3 && n[0] == 4) {
      caps.pixel_height = n[1];
      caps.pixel_width = n[2];
    } else if (n.size() == 3 && n[0] == 6) {
      caps.cell_height = n[1];
      caps.cell_width = n[2];
    }
  }
}

void string_reply(ProbeReader& reader, TerminalCaps& caps) {
  const std::string& text = reader.body;
  if (reader.introducer == '_' && !text.empty() && text[0] == 'G') {
    const std::string id = std::string("i=") + kitty_query_id;
    const size_t semicolon = text.find(';');
    if (semicolon == std::string::npos) return;
    if (text.find(id) < semicolon && text.compare(semicolon + 1, 2, "OK") == 0) caps.kitty = true;
  }
}

bool contains(const char* text, const char* part) { return text && std::strstr(text, part); }

}  // namespace

std::string probe_query_text(bool multiplexer) {
  std::string text;
  if (!multiplexer) {
    text = std::string("\x1b_Gi=") + kitty_query_id + ",s=1,v=1,a=q,t=d,f=24;AAAA\x1b\\";
  }
  return text + "\x1b[14t\x1b[16t\x1b[c";
}

bool inside_multiplexer(const char* term, const char* tmux) {
  return (tmux && *tmux) ||
         (term && (std::strncmp(term, "tmux", 4) == 0 || std::strncmp(term, "screen", 6) == 0));
}

void probe_reader_feed(ProbeReader& reader, uint8_t byte, TerminalCaps& caps) {
  constexpr size_t body_limit = 4096;  // a runaway reply cannot grow without bound
  switch (reader.state) {
    case ProbeReader::State::ground:
      if (byte == 0x1B) reader.state = ProbeReader::State::escape;
      break;
    case ProbeReader::State::escape:
      reader.body.clear();
      if (byte == '[') {
        reader.state = ProbeReader::State::csi;
      } else if (byte == '_' || byte == 'P' || byte == ']') {
        reader.introducer = static_cast<char>(byte);
        reader.state = ProbeReader::State::string;
      } else if (byte != 0x1B) {
        reader.state = ProbeReader::State::ground;
      }
      break;
    case ProbeReader::State::csi:
      if (byte >= 0x40 && byte <= 0x7E) {
        csi_reply(reader, static_cast<char>(byte), caps);
        reader.state = ProbeReader::State::ground;
      } else if (byte == 0x1B) {
        reader.state = ProbeReader::State::escape;
      } else if (reader.body.size() < body_limit) {
        reader.body += static_cast<char>(byte);
      }
      break;
    case ProbeReader::State::string:
      if (byte == 0x07) {
        string_reply(reader, caps);
        reader.state = ProbeReader::State::ground;
      } else if (byte == 0x1B) {
        reader.state = ProbeReader::State::string_escape;
      } else if (reader.body.size() < body_limit) {
        reader.body += static_cast<char>(byte);
      }
      break;
    case ProbeReader::State::string_escape:
      if (byte == '\\') {
        string_reply(reader, caps);
        reader.state = ProbeReader::State::ground;
      } else {
        // Not a terminator: a new sequence starts here.
        reader.state = ProbeReader::State::escape;
        probe_reader_feed(reader, byte, caps);
      }
      break;
  }
}

std::string sixel_size_query_text() { return "\x1b[?2;1;0S\x1b[c"; }

bool presenter_name_known(const char* forced) {
  if (console_window_drawing && forced && std::strcmp(forced, "gdi") == 0) return true;
  return forced && (std::strcmp(forced, "kitty") == 0 || std::strcmp(forced, "sixel") == 0 ||
                    std::strcmp(forced, "blocks") == 0);
}

PresenterKind presenter_choose(const TerminalCaps& caps, const char* forced, const char* term,
                               const char* tmux) {
  if (presenter_name_known(forced)) {
    if (std::strcmp(forced, "kitty") == 0) return PresenterKind::kitty;
    if (std::strcmp(forced, "sixel") == 0) return PresenterKind::sixel;
    return PresenterKind::blocks;
  }
  // A multiplexer answers the queries for the terminal it emulates, not the outer one.
  if (inside_multiplexer(term, tmux)) return PresenterKind::blocks;
  if (caps.kitty) return PresenterKind::kitty;
  if (caps.sixel) return PresenterKind::sixel;
  if (contains(term, "kitty")) return PresenterKind::kitty;
  return PresenterKind::blocks;
}

PresenterKind presenter_choose_console(const ConsoleWindow& window, const char* forced) {
  if (forced && std::strcmp(forced, "gdi") == 0) {
    return window.handle ? PresenterKind::gdi : PresenterKind::blocks;
  }
  if (forced && std::strcmp(forced, "kitty") == 0) return PresenterKind::kitty;
  if (forced && std::strcmp(forced, "sixel") == 0) return PresenterKind::sixel;
  if (forced && std::strcmp(forced, "blocks") == 0) return PresenterKind::blocks;
  // Windows Terminal draws its tabs itself: anything put on a window there is lost.
  if (window.handle && window.visible && !window.windows_terminal) return PresenterKind::gdi;
  return PresenterKind::blocks;
}

PresenterKind presenter_from_environment(const ConsoleWindow& window) {
  if (console_window_drawing) return presenter_choose_console(window, std::getenv("RXIQ_DISPLAY"));
  return presenter_choose(terminal_caps, std::getenv("RXIQ_DISPLAY"), std::getenv("TERM"),
                          std::getenv("TMUX"));
}

const char* presenter_unknown_forced() {
  const char* forced = std::getenv("RXIQ_DISPLAY");
  if (!forced || !*forced || presenter_name_known(forced)) return nullptr;
  return forced;
}

const char* presenter_name(PresenterKind kind) {
  switch (kind) {
    case PresenterKind::kitty:
      return "kitty";
    case PresenterKind::sixel:
      return "sixel";
    case PresenterKind::gdi:
      return "gdi";
    case PresenterKind::blocks:
      break;
  }
  return "blocks";
}

int sixel_width_limit(const TerminalCaps& caps) {
  return caps.sixel_max_width > 0 ? caps.sixel_max_width : sixel_default_max_size;
}

int sixel_height_limit(const TerminalCaps& caps) {
  return caps.sixel_max_height > 0 ? caps.sixel_max_height : sixel_default_max_size;
}
