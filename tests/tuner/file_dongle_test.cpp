#include "tuner/file_dongle.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "simulator/sim_dongle.h"
#include "tests/support/console_capture.h"
#include "tests/support/tone.h"

namespace {

namespace fs = std::filesystem;

constexpr uint32_t rate12 = 1200000;
constexpr uint32_t tuning = 145725000;  // the simulator's carrier at +10 kHz
constexpr int block = 65536;

// The unpaced simulator set up as the receiver sets it up, and its reads.
struct Sim {
  SimDongle sim{sim_dongle_choice(), false};
  Dongle* dev = nullptr;
  explicit Sim(uint32_t frequency) {
    EXPECT_EQ(sim.open(&dev, 0), 0);
    sim.set_tuner_gain_mode(dev, 1);
    sim.set_tuner_gain(dev, 496);
    sim.set_center_freq(dev, frequency);
    sim.set_sample_rate(dev, rate12);
    sim.set_freq_correction(dev, sim_crystal_error_ppm);
  }
  std::vector<uint8_t> read(int bytes = block) {
    std::vector<uint8_t> out(static_cast<size_t>(bytes));
    int n = 0;
    EXPECT_EQ(sim.read_sync(dev, out.data(), bytes, &n), 0);
    return out;
  }
};

// A raw recording of `blocks` of the simulator's blocks at the usual tuning, in a file
// removed at the end.
struct Recorded {
  fs::path path = fs::temp_directory_path() / ("rxiq-replay-" + std::to_string(getpid()) + ".cu8");
  std::vector<std::vector<uint8_t>> blocks;
  explicit Recorded(int count) {
    Sim sim(tuning);
    std::ofstream out(path, std::ios::binary);
    for (int k = 0; k < count; ++k) {
      blocks.push_back(sim.read());
      out.write(reinterpret_cast<const char*>(blocks.back().data()), block);
    }
  }
  ~Recorded() { fs::remove(path); }
  DongleChoice choice(const std::string& options = ",rate=1200000,freq=145725000") const {
    DongleChoice c;
    EXPECT_TRUE(parse_dongle_choice(("file:" + path.string() + options).c_str(), c));
    return c;
  }
};

// The unpaced file dongle, opened and set up as the receiver sets a dongle up.
struct Replay {
  FileDongle file;
  Dongle* dev = nullptr;
  Replay(const DongleChoice& choice, uint32_t frequency) : file(choice, false) {
    EXPECT_EQ(file.open(&dev, 0), 0);
    EXPECT_EQ(file.set_center_freq(dev, frequency), 0);
    EXPECT_EQ(file.set_sample_rate(dev, rate12), 0);
  }
  int read(std::vector<uint8_t>& out, int bytes = block) {
    out.assign(static_cast<size_t>(bytes), 0);
    int n = 0;
    return file.read_sync(dev, out.data(), bytes, &n);
  }
};

}  // namespace

TEST(FileDongle, ListsTheFileAsItsDeviceAndReplaysTheRecordingByteForByte) {
  Recorded recorded(3);
  FileDongle file(recorded.choice(), false);
  ASSERT_EQ(file.get_device_count(), 1u);
  char m[usb_string_size], p[usb_string_size], s[usb_string_size];
  ASSERT_EQ(file.get_device_usb_strings(0, m, p, s), 0);
  EXPECT_STREQ(m, "rxiq file");
  EXPECT_EQ(std::string(p), recorded.path.filename().string());
  EXPECT_EQ(std::string(file.get_device_name(0)), recorded.path.filename().string());

  Replay replay(recorded.choice(), tuning);
  // Gains are taken and change nothing.
  EXPECT_GT(replay.file.get_tuner_gains(replay.dev, nullptr), 1);
  EXPECT_EQ(replay.file.set_tuner_gain(replay.dev, 0), 0);
  std::vector<uint8_t> got;
  for (const auto& expected : recorded.blocks) {
    ASSERT_EQ(replay.read(got), 0);
    EXPECT_EQ(got, expected);
  }
}

// Tuned 5 kHz up, the carrier recorded at +10 kHz plays at +5 kHz, where the simulator
// tuned there shows it; tuned out of the band, one line says so.
TEST(FileDongle, RetuningShiftsTheRecordingAsTheSimulatorsScene) {
  Recorded recorded(1);
  ConsoleCapture console;
  Replay replay(recorded.choice(), tuning + 5000);
  std::vector<uint8_t> got;
  ASSERT_EQ(replay.read(got), 0);
  std::vector<uint8_t> live = Sim(tuning + 5000).read();
  for (const std::vector<uint8_t>* bytes : {&got, &live}) {
    EXPECT_GT(tone_amplitude(*bytes, 5000, rate12), 30 * tone_amplitude(*bytes, 10000, rate12));
  }
  EXPECT_NEAR(tone_amplitude(got, 5000, rate12), tone_amplitude(live, 5000, rate12), 2.0);
  EXPECT_EQ(console.text(), "");

  for (uint32_t f : {tuning + 700000, tuning + 800000, tuning}) replay.file.set_center_freq(replay.dev, f);
  EXPECT_EQ(console.text(), "\nTuned to 146425000 Hz, outside the band of " + recorded.path.filename().string() +
                                " (145725000 Hz +/- 600000 Hz); shifted all the same\n");
}

TEST(FileDongle, EndsAsAnUnpluggedDongleOrLoops) {
  Recorded recorded(2);
  const std::string name = recorded.path.filename().string();
  {
    ConsoleCapture console;
    Replay replay(recorded.choice(), tuning);
    std::vector<uint8_t> got;
    ASSERT_EQ(replay.read(got, block + 1000), 0);
    ASSERT_EQ(replay.read(got), 0);
    EXPECT_EQ(got.back(), 127) << "what the recording cannot fill is silence";
    EXPECT_EQ(std::vector<uint8_t>(got.begin(), got.end() - 1000),
              std::vector<uint8_t>(recorded.blocks[1].begin() + 1000, recorded.blocks[1].end()));
    EXPECT_EQ(replay.read(got), dongle_gone_result);
    EXPECT_EQ(console.text(), "\nEnd of recording " + name + "\n");
  }
  {
    ConsoleCapture console;
    Replay replay(recorded.choice(",loop,rate=1200000"), tuning);
    std::vector<uint8_t> got;
    for (int k = 0; k < 2; ++k) ASSERT_EQ(replay.read(got), 0);
    ASSERT_EQ(replay.read(got), 0);
    EXPECT_EQ(got, recorded.blocks[0]) << "from the start again";
    EXPECT_EQ(console.text(), "\nEnd of recording " + name + ": playing it again from the start\n");
  }
  {
    // A recording shorter than a read repeats within it, announced once.
    const fs::path tiny = fs::temp_directory_path() / ("rxiq-tiny-" + std::to_string(getpid()) + ".cu8");
    std::ofstream(tiny, std::ios::binary) << "abcdef";
    // Removed after the replay has closed it: Windows keeps an open file.
    struct Removal {
      fs::path path;
      ~Removal() {
        std::error_code ignored;
        fs::remove(path, ignored);
      }
    } removal{tiny};
    ConsoleCapture console;
    DongleChoice c;
    ASSERT_TRUE(parse_dongle_choice(("file:" + tiny.string() + ",rate=1200000,loop").c_str(), c));
    Replay replay(c, tuning);
    std::vector<uint8_t> got;
    for (int k = 0; k < 2; ++k) ASSERT_EQ(replay.read(got, 8), 0);
    EXPECT_EQ(std::string(got.begin(), got.end()), "cdefabcd") << "the second read goes on where the first ended";
    EXPECT_EQ(console.text(), "\nEnd of recording " + tiny.filename().string() +
                                  ": playing it again from the start\n");
  }
}

TEST(FileDongle, RefusesARecordingItCannotPlayWithTheReason) {
  Recorded recorded(1);
  const std::string name = recorded.path.filename().string();
  ConsoleCapture console;
  FileDongle file(recorded.choice(",rate=2400000"), false);
  Dongle* dev = nullptr;
  ASSERT_EQ(file.open(&dev, 0), 0);
  EXPECT_LT(file.set_sample_rate(dev, rate12), 0);
  EXPECT_EQ(console.text(), name + " was recorded at 2400000 samples/s; this receiver reads 1200000 samples/s "
                                   "(rxiq12 1200000, rxiq24 2400000)\n");
  EXPECT_EQ(file.close(dev), 0);

  FileDongle unrated(recorded.choice(""), false);
  EXPECT_LT(unrated.open(&dev, 0), 0);
  EXPECT_NE(console.text().find(name + ": a raw recording says nothing of its sample rate"), std::string::npos);
}

TEST(FileDongle, ChoiceTakesThePathAndItsOptions) {
  DongleChoice c;
  ASSERT_TRUE(parse_dongle_choice("file:/a,b.cu8,loop,freq=145800000,rate=2400000", c));
  EXPECT_EQ(c.kind, DongleKind::file);
  EXPECT_EQ(c.path, "/a,b.cu8");
  EXPECT_TRUE(c.file_loop);
  EXPECT_EQ(c.file_frequency, 145800000u);
  EXPECT_EQ(c.file_rate, 2400000u);
  ASSERT_TRUE(parse_dongle_choice("file:x.sigmf-meta", c));
  EXPECT_EQ(c.path, "x.sigmf-meta");
  EXPECT_FALSE(c.file_loop);
  EXPECT_EQ(c.file_rate, 0u);
  for (const char* bad : {"file:", "file:,loop", "file:x,rate=", "file:x,rate=0", "file:x,freq=1e6",
                          "file:x,rate=99999999999"}) {
    EXPECT_FALSE(parse_dongle_choice(bad, c)) << bad;
    EXPECT_EQ(c.kind, DongleKind::librtlsdr) << bad;
  }
}
