// What the terminal can show pictures with, learnt once at start-up from its answers
// to the standard queries, and the choice of presenter made from it.
#pragma once

#include <cstdint>
#include <string>

#include "terminal/terminal_presenter.h"
#include "platform/terminal_window.h"

struct TerminalCaps {
  bool probed = false;    // the queries were sent and answered (the DA1 reply came)
  bool kitty = false;     // the kitty graphics query was answered OK
  bool sixel = false;     // the primary device attributes list sixel graphics
  int pixel_width = 0;    // text area size in pixels, 0 when not told
  int pixel_height = 0;
  int cell_width = 0;     // one character cell in pixels, 0 when not told
  int cell_height = 0;
  int sixel_max_width = 0;   // largest sixel picture, from XTSMGRAPHICS; 0 when not told
  int sixel_max_height = 0;
};

// A sixel picture larger than this is refused silently by a terminal that does not
// tell its own limit (xterm's default maximum graphic size).
inline constexpr int sixel_default_max_size = 1000;

// Written by terminal_graphics_probe before any display thread starts; read-only after.
extern TerminalCaps terminal_caps;

// Reads terminal replies byte by byte.
struct ProbeReader {
  enum class State { ground, escape, csi, string, string_escape };
  State state = State::ground;
  char introducer = 0;  // '_', 'P' or ']' while in a string
  std::string body;     // parameters of a CSI sequence or text of an APC string
  bool done = false;    // the DA1 reply, which ends the answers, has been read
};

// The queries sent by the probe: kitty graphics, text area and cell size in pixels,
// primary device attributes (answered by every terminal, so it comes last). Inside a
// multiplexer the kitty query is left out: tmux and screen take an APC string they do
// not know for the pane title.
std::string probe_query_text(bool multiplexer);

// Sent afterwards to a terminal with sixel outside a multiplexer: its largest sixel
// picture (XTSMGRAPHICS), then primary device attributes again to end the answers.
std::string sixel_size_query_text();

// True inside tmux or screen (term, tmux: the TERM and TMUX values, null when unset).
bool inside_multiplexer(const char* term, const char* tmux);

// Feeds one reply byte into reader, recording what it learns in caps.
void probe_reader_feed(ProbeReader& reader, uint8_t byte, TerminalCaps& caps);

// Sends the queries on out_fd and reads the replies from in_fd until the DA1 reply or
// a short time limit; inside a multiplexer (this process's TERM and TMUX) without the
// graphics queries. Does nothing unless both are terminals. Must run before anything
// else reads in_fd (the key loop), with in_fd already in raw mode.
void terminal_graphics_probe(int in_fd, int out_fd);

// The terminal's size; pixel sizes the system does not tell come from what the probe heard.
TerminalSize terminal_size_with_probe();

// True when forced (a value of RXIQ_DISPLAY) names a presenter: kitty, sixel or blocks,
// and on Windows gdi.
bool presenter_name_known(const char* forced);

// The presenter: forced (the value of RXIQ_DISPLAY) when it names one, otherwise
// blocks inside tmux or screen, otherwise from what the terminal answered, otherwise
// from TERM.
PresenterKind presenter_choose(const TerminalCaps& caps, const char* forced, const char* term,
                               const char* tmux);

// The presenter on a Windows console, which answers no queries: forced when it names
// one (gdi only where the console has a window); otherwise gdi on a console window shown
// on the screen outside Windows Terminal, else blocks.
PresenterKind presenter_choose_console(const ConsoleWindow& window, const char* forced);

// This process's presenter: presenter_choose_console with RXIQ_DISPLAY on Windows,
// presenter_choose with terminal_caps and the environment elsewhere.
PresenterKind presenter_from_environment(const ConsoleWindow& window);

// The value of RXIQ_DISPLAY when it is set, not empty and names no presenter; else null.
const char* presenter_unknown_forced();

// The presenter's name as RXIQ_DISPLAY spells it.
const char* presenter_name(PresenterKind kind);

// The largest sixel picture the terminal takes: what it reported, else the default.
int sixel_width_limit(const TerminalCaps& caps);
int sixel_height_limit(const TerminalCaps& caps);
