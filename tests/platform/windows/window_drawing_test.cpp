// Drawing frames on a window, as the gdi presenter does on the console window: a known
// picture goes onto a window this test shows and is read back from the window pixel for
// pixel. Wine makes windows with real pixels only on an X display; without one the
// tests skip.
#include <gtest/gtest.h>

#include <cstdint>
#include <vector>
#include <windows.h>

#include "terminal/terminal_presenter.h"
#include "platform/window_drawing.h"

namespace {

constexpr int client_width = 160;
constexpr int client_height = 100;

uint32_t bgr(int r, int g, int b) {
  return static_cast<uint32_t>(r & 0xFF) | (static_cast<uint32_t>(g & 0xFF) << 8) |
         (static_cast<uint32_t>(b & 0xFF) << 16);
}

// No two columns share a red and no two rows a green, and blue mixes both unevenly: a
// swapped channel, a flipped or shifted row or column all change some pixel.
std::vector<uint32_t> picture(int width, int height, int seed) {
  std::vector<uint32_t> pixels(static_cast<size_t>(width) * static_cast<size_t>(height));
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      pixels[static_cast<size_t>(y * width + x)] = bgr(x * 2 + seed, y * 3 + 11, x * 5 + y * 7 + seed);
    }
  }
  return pixels;
}

struct TestWindow {
  HWND hwnd = nullptr;

  // A borderless window at (left, 0): its client area is the whole window. Each test
  // has a place of its own, since ctest runs them side by side.
  explicit TestWindow(int left) {
    WNDCLASSA wc{};
    wc.lpfnWndProc = DefWindowProcA;
    wc.hInstance = GetModuleHandleA(nullptr);
    wc.hbrBackground = static_cast<HBRUSH>(GetStockObject(BLACK_BRUSH));
    wc.lpszClassName = "rxiq drawing test";
    RegisterClassA(&wc);
    hwnd = CreateWindowExA(0, wc.lpszClassName, "rxiq drawing test",
                           WS_POPUP | WS_VISIBLE, left, 0, client_width, client_height, nullptr,
                           nullptr, wc.hInstance, nullptr);
    if (!hwnd) return;
    ShowWindow(hwnd, SW_SHOW);
    UpdateWindow(hwnd);
    pump();
  }
  ~TestWindow() {
    if (hwnd) DestroyWindow(hwnd);
  }

  void pump() {
    MSG msg;
    while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) DispatchMessageA(&msg);
  }

  // The window's pixels, 0x00BBGGRR, top row first.
  std::vector<uint32_t> read(int width, int height) {
    std::vector<uint32_t> pixels(static_cast<size_t>(width) * static_cast<size_t>(height));
    BITMAPINFO info{};
    info.bmiHeader.biSize = sizeof info.bmiHeader;
    info.bmiHeader.biWidth = width;
    info.bmiHeader.biHeight = -height;
    info.bmiHeader.biPlanes = 1;
    info.bmiHeader.biBitCount = 32;
    info.bmiHeader.biCompression = BI_RGB;
    void* bits = nullptr;
    HDC memory = CreateCompatibleDC(nullptr);
    HBITMAP bitmap = CreateDIBSection(memory, &info, DIB_RGB_COLORS, &bits, nullptr, 0);
    HGDIOBJ old = SelectObject(memory, bitmap);
    HDC dc = GetDC(hwnd);
    BitBlt(memory, 0, 0, width, height, dc, 0, 0, SRCCOPY);
    ReleaseDC(hwnd, dc);
    GdiFlush();
    const uint32_t* rgb = static_cast<const uint32_t*>(bits);
    for (size_t i = 0; i < pixels.size(); ++i) {
      pixels[i] = bgr(static_cast<int>(rgb[i] >> 16), static_cast<int>(rgb[i] >> 8),
                      static_cast<int>(rgb[i]));
    }
    SelectObject(memory, old);
    DeleteDC(memory);
    DeleteObject(bitmap);
    return pixels;
  }

  // True when a colour painted on the window comes back as painted: a window on a
  // screen of true colour.
  bool holds_pixels() {
    if (!hwnd) return false;
    HDC dc = GetDC(hwnd);
    HBRUSH brush = CreateSolidBrush(RGB(10, 200, 30));
    RECT r{0, 0, 4, 4};
    FillRect(dc, &r, brush);
    DeleteObject(brush);
    ReleaseDC(hwnd, dc);
    const std::vector<uint32_t> back = read(1, 1);
    return back[0] == bgr(10, 200, 30);
  }
};

#define SKIP_WITHOUT_PIXELS(window)                                                      \
  if (!(window).holds_pixels())                                                          \
  GTEST_SKIP() << "no window with real pixels here (Wine needs an X display of 24 bits, " \
                  "DISPLAY set)"

// Compares the top-left width x height of got (stride columns per row) with want.
void expect_same(const std::vector<uint32_t>& got, int stride, const std::vector<uint32_t>& want,
                 int width, int height) {
  int wrong = 0;
  for (int y = 0; y < height; ++y) {
    for (int x = 0; x < width; ++x) {
      const uint32_t g = got[static_cast<size_t>(y * stride + x)];
      const uint32_t w = want[static_cast<size_t>(y * width + x)];
      if (g != w && ++wrong <= 5) {
        ADD_FAILURE() << "pixel (" << x << ", " << y << "): 0x" << std::hex << g
                      << ", drawn 0x" << w << std::dec;
      }
    }
  }
  EXPECT_EQ(wrong, 0);
}

}  // namespace

TEST(WindowDrawing, FramesLandPixelForPixelAndAFrameOfAnotherSizeRemakesTheBitmap) {
  TestWindow window(0);
  SKIP_WITHOUT_PIXELS(window);
  WindowPainter painter;
  const std::vector<uint32_t> first = picture(120, 80, 7);
  ASSERT_TRUE(window_paint(painter, window.hwnd, first.data(), 120, 80));
  expect_same(window.read(120, 80), 120, first, 120, 80);

  // A smaller frame covers only its own corner; the rest still shows the first.
  const std::vector<uint32_t> second = picture(50, 30, 40);
  ASSERT_TRUE(window_paint(painter, window.hwnd, second.data(), 50, 30));
  EXPECT_EQ(painter.width, 50);
  EXPECT_EQ(painter.height, 30);
  const std::vector<uint32_t> shown = window.read(120, 80);
  expect_same(shown, 120, second, 50, 30);
  EXPECT_EQ(shown[79 * 120 + 119], first[79 * 120 + 119]);
  EXPECT_EQ(shown[10 * 120 + 60], first[10 * 120 + 60]);

  // A frame wider than the window is cut off at its edge, not squeezed.
  const std::vector<uint32_t> wide = picture(client_width + 40, 20, 3);
  ASSERT_TRUE(window_paint(painter, window.hwnd, wide.data(), client_width + 40, 20));
  const std::vector<uint32_t> cut = window.read(client_width, 20);
  for (int y = 0; y < 20; ++y) {
    for (int x = 0; x < client_width; ++x) {
      ASSERT_EQ(cut[static_cast<size_t>(y * client_width + x)],
                wide[static_cast<size_t>(y * (client_width + 40) + x)]);
    }
  }
  window_painter_release(painter);
  EXPECT_EQ(painter.memory_dc, nullptr);
  EXPECT_FALSE(window_paint(painter, nullptr, first.data(), 120, 80));
}

TEST(WindowDrawing, GdiPresenterDrawsFromItsWriterAndStoppingRepaintsTheWindow) {
  TestWindow window(client_width + 20);
  SKIP_WITHOUT_PIXELS(window);
  TerminalPresenter p;
  p.kind = PresenterKind::gdi;
  p.window = window.hwnd;
  presenter_start(p);
  // Rows 100 apart in the source: only the rectangle is handed over.
  const int stride = 100;
  const std::vector<uint32_t> source = picture(stride, 60, 20);
  presenter_submit(p, source.data() + 10, stride, 64, 60);
  p.written.wait(0, std::memory_order_acquire);
  std::vector<uint32_t> want;
  for (int y = 0; y < 60; ++y) {
    for (int x = 0; x < 64; ++x) want.push_back(source[static_cast<size_t>(y * stride + 10 + x)]);
  }
  expect_same(window.read(64, 60), 64, want, 64, 60);
  EXPECT_TRUE(presenter_erase_text(p).empty());  // nothing of it is on the terminal

  ValidateRect(window.hwnd, nullptr);
  RECT dirty{};
  ASSERT_FALSE(GetUpdateRect(window.hwnd, &dirty, FALSE));
  presenter_stop(p);
  ASSERT_TRUE(GetUpdateRect(window.hwnd, &dirty, FALSE));
  EXPECT_EQ(dirty.left, 0);
  EXPECT_EQ(dirty.top, 0);
  EXPECT_EQ(dirty.right, client_width);
  EXPECT_EQ(dirty.bottom, client_height);
  EXPECT_EQ(p.painter.memory_dc, nullptr);  // the writer freed its bitmap
}

TEST(WindowDrawing, WindowRectangleIsTheOuterRectangle) {
  TestWindow window(2 * client_width + 40);
  if (!window.hwnd) GTEST_SKIP() << "no windows here (Wine needs an X display, DISPLAY set)";
  const WindowRect r = window_rectangle(window.hwnd);
  EXPECT_EQ(r.left, 2 * client_width + 40);
  EXPECT_EQ(r.top, 0);
  EXPECT_EQ(r.width, client_width);
  EXPECT_EQ(r.height, client_height);
  EXPECT_EQ(window_rectangle(nullptr).width, 0);
}
