#include "platform/window_drawing.h"

#include <io.h>
#include <windows.h>

#include "platform/console_out.h"

const bool console_window_drawing = true;

namespace {

bool make_bitmap(WindowPainter& painter, int width, int height) {
  window_painter_release(painter);
  HDC memory = CreateCompatibleDC(nullptr);
  if (!memory) return false;
  BITMAPINFO info{};
  info.bmiHeader.biSize = sizeof info.bmiHeader;
  info.bmiHeader.biWidth = width;
  info.bmiHeader.biHeight = -height;  // top row first, as the frames come
  info.bmiHeader.biPlanes = 1;
  info.bmiHeader.biBitCount = 32;
  info.bmiHeader.biCompression = BI_RGB;
  void* bits = nullptr;
  HBITMAP bitmap = CreateDIBSection(memory, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
  if (!bitmap || !bits) {
    if (bitmap) DeleteObject(bitmap);
    DeleteDC(memory);
    return false;
  }
  painter.memory_dc = memory;
  painter.bitmap = bitmap;
  painter.old_bitmap = SelectObject(memory, bitmap);
  painter.bits = static_cast<uint32_t*>(bits);
  painter.width = width;
  painter.height = height;
  return true;
}

}  // namespace

WindowRect window_rectangle(void* window) {
  RECT r{};
  if (!window || !GetWindowRect(static_cast<HWND>(window), &r)) return {};
  return {static_cast<int>(r.left), static_cast<int>(r.top), static_cast<int>(r.right - r.left),
          static_cast<int>(r.bottom - r.top)};
}

bool window_paint(WindowPainter& painter, void* window, const uint32_t* pixels, int width,
                  int height) {
  if (!window || width <= 0 || height <= 0) return false;
  if (painter.width != width || painter.height != height || !painter.bits) {
    if (!make_bitmap(painter, width, height)) return false;
  }
  // A 32-bit bitmap keeps blue in the low byte, the frames red.
  const size_t count = static_cast<size_t>(width) * static_cast<size_t>(height);
  for (size_t i = 0; i < count; ++i) {
    const uint32_t c = pixels[i];
    painter.bits[i] = ((c & 0xFFu) << 16) | (c & 0xFF00u) | ((c >> 16) & 0xFFu);
  }
  GdiFlush();  // the bitmap's pixels were written directly: GDI must not hold older ones
  const HWND hwnd = static_cast<HWND>(window);
  HDC dc = GetDC(hwnd);
  if (!dc) return false;
  BitBlt(dc, 0, 0, width, height, static_cast<HDC>(painter.memory_dc), 0, 0, SRCCOPY);
  ReleaseDC(hwnd, dc);
  return true;
}

void window_painter_release(WindowPainter& painter) {
  if (painter.memory_dc) {
    HDC memory = static_cast<HDC>(painter.memory_dc);
    if (painter.old_bitmap) SelectObject(memory, static_cast<HGDIOBJ>(painter.old_bitmap));
    DeleteDC(memory);
  }
  if (painter.bitmap) DeleteObject(static_cast<HGDIOBJ>(painter.bitmap));
  painter = WindowPainter{};
}

void window_repaint(void* window) {
  if (window) InvalidateRect(static_cast<HWND>(window), nullptr, FALSE);
}

ConsoleOutputMode console_virtual_terminal_on() {
  ConsoleOutputMode saved;
  const HANDLE out = reinterpret_cast<HANDLE>(_get_osfhandle(console_out.fd));
  DWORD mode = 0;
  if (out == INVALID_HANDLE_VALUE || !GetConsoleMode(out, &mode)) return saved;
  saved.saved = true;
  saved.mode = mode;
  SetConsoleMode(out, mode | ENABLE_PROCESSED_OUTPUT | ENABLE_VIRTUAL_TERMINAL_PROCESSING);
  return saved;
}

void console_output_mode_restore(const ConsoleOutputMode& mode) {
  if (!mode.saved) return;
  const HANDLE out = reinterpret_cast<HANDLE>(_get_osfhandle(console_out.fd));
  if (out != INVALID_HANDLE_VALUE) SetConsoleMode(out, mode.mode);
}
