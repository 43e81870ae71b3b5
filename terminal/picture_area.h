// The rows at the terminal's top that a picture keeps while messages scroll below.
#pragma once

#include <string>

// Keeps the top picture_rows rows for a picture: the text on the screen moves down
// under them (its top lines into the scrollback only if the screen is full), messages
// scroll in the rows below and the cursor stays right below the text.
std::string picture_area_open_text(int picture_rows, int terminal_rows);

// Gives the rows back: the scroll region covers the whole terminal again, the text
// below the picture moves up into its rows, and the cursor follows it.
std::string picture_area_close_text(int picture_rows);
