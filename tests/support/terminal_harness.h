// Terminal stand-ins for display tests: a small screen model that follows what the
// display sends, and a pseudo-terminal that takes the place of the receiver's terminal.
#pragma once

#include <algorithm>
#include <pty.h>
#include <string>
#include <termios.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include <gtest/gtest.h>

#include "platform/console_out.h"

// Just enough of a text terminal to follow what the display sends: printing, CR, LF,
// cursor position, up and down, scroll region, scrolling up, insert and delete lines,
// erase in line, save and restore cursor; other sequences and strings are skipped.
struct MiniTerminal {
  int rows, columns;
  std::vector<std::string> screen;
  std::vector<std::string> scrollback;
  int row = 0, column = 0, top = 0, bottom;
  int saved_row = 0, saved_column = 0;

  MiniTerminal(int r, int c) : rows(r), columns(c), screen(r, std::string(c, ' ')), bottom(r - 1) {}

  void scroll_up(int from, int to) {
    if (from == 0) scrollback.push_back(screen[from]);
    screen.erase(screen.begin() + from);
    screen.insert(screen.begin() + to, std::string(columns, ' '));
  }
  void put(char ch) {
    if (column >= columns) return;  // no wrap needed here
    screen[row][column++] = ch;
  }
  void csi(const std::vector<int>& p, char final_byte) {
    auto arg = [&](size_t i, int fallback) { return i < p.size() && p[i] != 0 ? p[i] : fallback; };
    switch (final_byte) {
      case 'H': row = std::min(arg(0, 1), rows) - 1; column = std::min(arg(1, 1), columns) - 1; break;
      case 'A': row = std::max(row >= top ? top : 0, row - arg(0, 1)); break;
      case 'B': row = std::min(row <= bottom ? bottom : rows - 1, row + arg(0, 1)); break;
      case 'S':
        for (int n = 0; n < arg(0, 1); ++n) {
          screen.erase(screen.begin() + top);
          screen.insert(screen.begin() + bottom, std::string(columns, ' '));
        }
        break;
      case 'r': top = arg(0, 1) - 1; bottom = arg(1, rows) - 1; row = 0; column = 0; break;
      case 'L':
        if (row >= top && row <= bottom)
          for (int n = 0; n < arg(0, 1); ++n) {
            screen.erase(screen.begin() + bottom);
            screen.insert(screen.begin() + row, std::string(columns, ' '));
          }
        break;
      case 'M':
        if (row >= top && row <= bottom)
          for (int n = 0; n < arg(0, 1); ++n) {
            screen.erase(screen.begin() + row);
            screen.insert(screen.begin() + bottom, std::string(columns, ' '));
          }
        break;
      case 'K':
        if (arg(0, 0) == 2) screen[row] = std::string(columns, ' ');
        else screen[row].replace(column, columns - column, columns - column, ' ');
        break;
      default: break;  // colours, title stack
    }
  }
  void feed(const std::string& bytes) {
    size_t at = 0;
    while (at < bytes.size()) {
      const unsigned char c = static_cast<unsigned char>(bytes[at]);
      if (c == 0x1B) {
        const char kind = bytes[at + 1];
        if (kind == '[') {
          std::vector<int> p(1, 0);
          at += 2;
          while (!(bytes[at] >= 0x40 && bytes[at] <= 0x7E)) {
            if (bytes[at] == ';') p.push_back(0);
            else if (isdigit(static_cast<unsigned char>(bytes[at]))) p.back() = p.back() * 10 + (bytes[at] - '0');
            ++at;
          }
          csi(p, bytes[at++]);
        } else if (kind == '7') {
          saved_row = row, saved_column = column, at += 2;
        } else if (kind == '8') {
          row = saved_row, column = saved_column, at += 2;
        } else {  // a string: OSC ends with BEL or ST, APC and DCS with ST
          at += 2;
          while (at < bytes.size() && bytes[at] != '\x07' && !(bytes[at] == 0x1B && bytes[at + 1] == '\\')) ++at;
          at += bytes[at] == '\x07' ? 1 : 2;
        }
      } else if (c == '\r') {
        column = 0, ++at;
      } else if (c == '\n') {
        if (row == bottom) scroll_up(top, bottom);
        else if (row < rows - 1) ++row;
        ++at;
      } else if (c >= 0x80) {  // one character per UTF-8 sequence; the half block shows as '#'
        put(bytes.compare(at, 3, "\xe2\x96\x80") == 0 ? '#' : '?');
        ++at;
        while (at < bytes.size() && (static_cast<unsigned char>(bytes[at]) & 0xC0) == 0x80) ++at;
      } else {
        put(static_cast<char>(c)), ++at;
      }
    }
  }
  std::string line(int r) const { return screen[r].substr(0, screen[r].find_last_not_of(' ') + 1); }
};

// What a terminal receives through a pseudo-terminal: LF becomes CR LF.
inline std::string as_pty(const std::string& text) {
  std::string out;
  for (char c : text) {
    if (c == '\n') out += '\r';
    out += c;
  }
  return out;
}

// A pseudo-terminal of 100 x 30 cells standing in for the receiver's terminal, its
// other side read into `received` until closed.
struct PtyConsole {
  int master = -1, slave = -1, saved_fd;
  std::string received;
  std::thread reader;
  explicit PtyConsole(int pixel_width = 0, int pixel_height = 0) {
    winsize ws{};
    ws.ws_row = 30;
    ws.ws_col = 100;
    ws.ws_xpixel = static_cast<unsigned short>(pixel_width);
    ws.ws_ypixel = static_cast<unsigned short>(pixel_height);
    EXPECT_EQ(openpty(&master, &slave, nullptr, nullptr, &ws), 0);
    saved_fd = console_out.fd;
    console_out.fd = slave;
    reader = std::thread([this] {
      char buffer[65536];
      ssize_t n;
      while ((n = read(master, buffer, sizeof buffer)) > 0) received.append(buffer, static_cast<size_t>(n));
    });
  }
  std::string finish() {
    console_out.fd = saved_fd;
    close(slave);
    reader.join();
    close(master);
    return received;
  }
};
