#include "display/trace_and_waterfall.h"

#include <gtest/gtest.h>

#include <memory>
#include <vector>

#include "core/rx_state.h"
#include "display/display_state.h"
#include "display/scale.h"

namespace {

struct Rig {
  RxState state{rxiq12_variant};
  SpectrumBuffer spectrum;
  std::unique_ptr<DisplayState> d = std::make_unique<DisplayState>();
  std::vector<float> re = std::vector<float>(spectrum_size, 0.0f);
  std::vector<float> im = std::vector<float>(spectrum_size, 0.0f);

  Rig() {
    d->spectrum = &spectrum;
    display_make_surfaces(*d);
    build_waterfall_palette(d->waterfall_palette);
    d->presenting = true;  // frames land in the presenter's mailbox, no writer thread
    draw_scale(*d, state.frequency.load());
  }
  void publish() { spectrum_publish(spectrum, re.data(), im.data()); }
  void frame() {
    publish();
    display_frame(*d, state);
  }
  uint32_t at(int x, int y) const { return surface_pixel(d->frame_surface, x, y); }
  // The rightmost bin k (1-511) sits at column 512 + k; bin 512 + k at column k.
  void set_bin(int bin, float magnitude) { re[bin] = magnitude; }
};

int top_red_row(const Rig& rig, int x) {
  for (int y = 0; y < 135; ++y)
    if (rig.at(x, y) == line_pen_colour) return y;
  return -1;
}

}  // namespace

TEST(SpectrumView, TraceAndWaterfallLineOfAMadeUpSpectrum) {
  Rig rig;
  rig.set_bin(0, 500.0f);    // centre: no trace point, colour hidden by the green mark
  rig.set_bin(2, 2.9999f);   // plotted as 2
  rig.set_bin(4, 104.0f);    // reaches row 0
  rig.set_bin(6, 5000.0f);   // off the top, entry 1023
  rig.set_bin(700, 50.0f);   // left half: column 188
  rig.re[1023] = std::numeric_limits<float>::quiet_NaN();  // column 511, like the strongest
  rig.frame();
  const uint32_t* pal = rig.d->waterfall_palette;
  EXPECT_EQ(bin_magnitude(3.0f, 4.0f), 5);
  EXPECT_EQ(bin_magnitude(std::numeric_limits<float>::infinity(), 1.0f), INT32_MAX);

  // Waterfall line on row 135.
  EXPECT_EQ(rig.at(512, 135), centre_mark_colour);
  EXPECT_EQ(rig.at(513, 135), pal[0]);
  EXPECT_EQ(rig.at(513, 135), rgb(15, 4, 63));
  EXPECT_EQ(rig.at(514, 135), pal[2]);
  EXPECT_EQ(rig.at(516, 135), rgb(255, 0, 0));
  EXPECT_EQ(rig.at(518, 135), pal[1023]);
  EXPECT_EQ(rig.at(188, 135), pal[50]);
  EXPECT_EQ(rig.at(0, 135), pal[0]);
  EXPECT_EQ(rig.at(511, 135), pal[1023]);

  // Trace: each column's highest point is its bin's row 104 - m.
  EXPECT_EQ(top_red_row(rig, 514), 102);
  EXPECT_EQ(top_red_row(rig, 516), 0);
  // A spike far above the top: its steep flanks, in the neighbouring columns, run off
  // the surface.
  EXPECT_EQ(top_red_row(rig, 517), 0);
  EXPECT_EQ(top_red_row(rig, 519), 0);
  EXPECT_EQ(top_red_row(rig, 188), 54);
  EXPECT_EQ(rig.at(512, 104), line_pen_colour);  // the right half starts on the baseline
  EXPECT_EQ(rig.at(0, 104), line_pen_colour);    // and so does the left half
  EXPECT_EQ(top_red_row(rig, 512), 104);         // bin 0 gives no trace point
  EXPECT_EQ(rig.at(1023, 104), 0u);              // each polyline's last point is left out
  EXPECT_EQ(rig.at(1023, 103), 0u);
}

TEST(SpectrumView, FlatSpectrumDrawsTwoBaselinesShortOfTheirEnds) {
  Rig rig;
  rig.frame();
  for (int x = 0; x < 1024; ++x) {
    const bool drawn = x != 511 && x != 1023;
    EXPECT_EQ(rig.at(x, 104) == line_pen_colour, drawn) << x;
    for (int y = 0; y < 104; ++y) ASSERT_NE(rig.at(x, y), line_pen_colour) << x << "," << y;
  }
}

TEST(SpectrumView, FramesNeedANewSpectrumAndClearTheFlag) {
  Rig rig;
  display_frame(*rig.d, rig.state);  // nothing published yet
  EXPECT_EQ(rig.at(600, 135), 0u);
  EXPECT_EQ(presenter_take(rig.d->presenter), nullptr);

  rig.frame();
  EXPECT_EQ(rig.spectrum.spectrum_ready.load(), 0);
  EXPECT_NE(presenter_take(rig.d->presenter), nullptr);
  const std::vector<uint32_t> after_one = rig.d->frame_surface.pixels;
  display_frame(*rig.d, rig.state);  // the same spectrum is not drawn twice
  EXPECT_EQ(rig.d->frame_surface.pixels, after_one);
  EXPECT_EQ(presenter_take(rig.d->presenter), nullptr);
}

TEST(SpectrumView, WaterfallScrollsEightyRowsAndTheTerminalSeesSixtyFive) {
  Rig rig;
  rig.set_bin(100, 50.0f);  // column 612 marked
  rig.frame();
  rig.set_bin(100, 0.0f);
  const uint32_t mark = rig.d->waterfall_palette[50];
  for (int k = 1; k <= 81; ++k) {
    rig.frame();
    const PresentFrame* shown = presenter_take(rig.d->presenter);
    ASSERT_NE(shown, nullptr);
    ASSERT_EQ(shown->width, 1024);
    ASSERT_EQ(shown->height, 200);
    const int row = 135 + k;
    if (k <= 80) {
      ASSERT_EQ(rig.at(612, row), mark) << k;
    }
    ASSERT_NE(rig.at(612, row - 1), mark) << k;
    bool visible = false;
    for (int y = 0; y < 200; ++y) visible |= shown->pixels[y * 1024 + 612] == mark;
    EXPECT_EQ(visible, k < 65) << k;  // rows 135-199: the newest 65 lines
  }
  for (int y = 216; y < 300; ++y) EXPECT_EQ(rig.at(612, y), 0u) << y;  // never drawn
}

TEST(SpectrumView, TheViewWidthCropsAroundTheCentre) {
  struct Case { int width, first, count; };
  for (Case c : {Case{1024, 0, 1024}, Case{2000, 0, 1024}, Case{800, 112, 800},
                 Case{801, 112, 801}, Case{1, 512, 1}}) {
    const ViewColumns v = view_columns(c.width);
    EXPECT_EQ(v.first, c.first) << c.width;
    EXPECT_EQ(v.count, c.count) << c.width;
  }

  Rig rig;
  rig.d->view_width = 801;
  for (int bin = 0; bin < spectrum_size; ++bin) rig.re[bin] = static_cast<float>(bin % 97);
  rig.frame();
  const PresentFrame* shown = presenter_take(rig.d->presenter);
  ASSERT_NE(shown, nullptr);
  ASSERT_EQ(shown->width, 801);
  for (int y = 0; y < 200; ++y)
    for (int x = 0; x < 801; ++x)
      ASSERT_EQ(shown->pixels[y * 801 + x], rig.at(112 + x, y)) << x << "," << y;
}

TEST(SpectrumView, ARetuneRedrawsTheScaleWithTheNextSpectrum) {
  Rig rig;
  rig.frame();  // captures the tuned frequency
  auto band = [&](const Surface& s) {
    return std::vector<uint32_t>(s.pixels.begin() + 110 * 1024, s.pixels.begin() + 127 * 1024);
  };
  const std::vector<uint32_t> old_band = band(rig.d->frame_surface);

  rig.state.frequency.store(145725050);
  display_frame(*rig.d, rig.state);  // no new spectrum: not shown yet
  EXPECT_EQ(band(rig.d->frame_surface), old_band);

  rig.frame();
  DisplayState expected;
  display_make_surfaces(expected);
  draw_scale(expected, 145725050);
  EXPECT_EQ(band(rig.d->frame_surface), band(expected.scale_surface));
  EXPECT_NE(band(rig.d->frame_surface), old_band);
  EXPECT_EQ(rig.d->last_frequency, 145725050);
}
