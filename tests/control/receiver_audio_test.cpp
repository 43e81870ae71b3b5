// The whole receiver in one process: simulated dongle, tuner and DSP threads, audio
// channel 0 on a virtual sound device, keys pressed through the key table or commands
// sent to the control port by Hamlib's own rigctl. What the device plays must be the
// baseband: the carrier 10 kHz above the tuning, then 150 Hz lower after three Rights,
// or 5 kHz lower after a retune of 5 kHz.
#include <gtest/gtest.h>

#include <chrono>
#include <complex>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <memory>
#include <numbers>
#include <thread>
#include <unistd.h>

#include "control/key_commands.h"
#include "core/print_console.h"
#include "control/receiver.h"
#include "terminal/key_decoder.h"
#include "tests/support/child_process.h"
#include "tests/support/console_capture.h"
#include "tests/support/sigmf_files.h"
#include "tests/support/tcp_client.h"
#include "tests/support/virtual_wave_device.h"
#include "tests/support/packet_recording.h"
#include "tests/support/wav_file.h"
#include "tests/support/tone.h"
#include "tuner/file_dongle.h"
#include "tuner/rtl_tcp_dongle.h"
#include "simulator/rtl_tcp_server.h"
#include "simulator/sim_dongle.h"
#include "tuner/tuner_thread.h"

namespace {

// Lets the tuner read on only once the DSP thread has taken every stored block, so that
// the unpaced simulator never laps the ring.
void wait_until_drained(const Receiver& rx) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
  while (rx.dsp.next_store.load() < rx.ring.ring_stores.load() &&
         std::chrono::steady_clock::now() < deadline) {
    std::this_thread::yield();
  }
}

// Closes audio channels 0 and 1 however the test ends: the virtual device's clock has to
// move for the worker to see the close.
struct ChannelCloser {
  Receiver& rx;
  VirtualWaveBackend& backend;
  ~ChannelCloser() {
    rx.state.running.store(0);
    receiver_join(rx);
    for (int slot : {0, 1}) {
      if (rx.audio.slots[slot].in_use.load() == 0) continue;
      std::thread closer([this, slot] { audio_close(rx.audio, slot); });
      while (rx.audio.slots[slot].in_use.load() != 0) std::this_thread::yield();
      backend.advance(int64_t{audio_device_wait_ms} * 1000);
      closer.join();
    }
  }
};

// The played blocks that are not silence (priming, a dry ring), in order.
std::vector<const int16_t*> sound_blocks(const std::vector<uint8_t>& played) {
  std::vector<const int16_t*> sound;
  for (size_t at = 0; at + audio_block_bytes <= played.size(); at += audio_block_bytes) {
    const auto* frames = reinterpret_cast<const int16_t*>(played.data() + at);
    bool silent = true;
    for (int k = 0; k < block_frames * 2 && silent; ++k) silent = frames[k] == 0;
    if (!silent) sound.push_back(frames);
  }
  return sound;
}

// The first block holds the carrier at +10 kHz, the last one at `after_hz`.
void expect_carrier_moved_to(const std::vector<const int16_t*>& sound, double after_hz) {
  const double rate = rxiq12_variant.frame_rate;
  const int16_t* before = sound.front();
  const int16_t* after = sound.back();
  EXPECT_GT(tone_amplitude(before, block_frames, 10000, rate),
            30 * tone_amplitude(before, block_frames, -10000, rate))
      << "the carrier at +10 kHz with I leading Q";
  EXPECT_GT(tone_amplitude(before, block_frames, 10000, rate),
            30 * tone_amplitude(before, block_frames, after_hz, rate));
  EXPECT_GT(tone_amplitude(after, block_frames, after_hz, rate),
            30 * tone_amplitude(after, block_frames, 10000, rate))
      << "the retune moves it to " << after_hz << " Hz";
  EXPECT_GT(tone_amplitude(after, block_frames, after_hz, rate), 1000);
}

void expect_carrier_then_three_rights(const std::vector<const int16_t*>& sound) {
  expect_carrier_moved_to(sound, 9850);
}

// After a run of reads 2 to 19 on the unpaced simulator: the 18 stored blocks of 32,768
// samples give 4 PCM blocks; plays them all and checks that they hold the carrier at
// +10 kHz, then at `after_hz`.
void play_four_blocks_and_expect_carrier_moved_to(Receiver& rx, VirtualWaveBackend& backend,
                                                  double after_hz) {
  AudioChannel* channel = rx.audio.slots[0].channel.load();
  ASSERT_NE(channel, nullptr);
  ASSERT_EQ(channel->queued.load(), 4);
  for (int i = 0; i < 8; ++i) ASSERT_TRUE(backend.step());
  const std::vector<uint8_t> played = backend.record(0).played;
  // Silence first (priming, then waiting for a second block), then the 4 blocks in order.
  const std::vector<const int16_t*> sound = sound_blocks(played);
  ASSERT_EQ(sound.size(), 4u);
  expect_carrier_moved_to(sound, after_hz);
}

template <typename Done>
bool wait_until(Done done) {
  auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(30);
  while (!done() && std::chrono::steady_clock::now() < deadline) std::this_thread::yield();
  return done();
}

// The simulator's rtl_tcp server on a free loopback port, in real time, on its own thread.
struct SimServer {
  RtlTcpServer server;
  std::thread thread;
  SimServer() {
    server.port = 0;
    server.messages = nullptr;
    thread = std::thread([this] { rtl_tcp_serve(server); });
  }
  ~SimServer() {
    server.stop.store(true);
    thread.join();
  }
};

// The whole receiver on the unpaced simulator and a virtual sound device. Reads are
// counted from the discarded start-up read; `at_retune` runs while read 12 is in
// progress, as a key would, and read 20 stops the receiver: reads 2 to 19 are stored.
struct UnpacedReceiver {
  static constexpr int retune_read = 12;
  static constexpr int last_read = 20;

  explicit UnpacedReceiver(const std::string& name)
      : semaphore("/rxiq-audio-" + name + "-" + std::to_string(getpid()) + "-%d") {
    auto owned = std::make_unique<SimDongle>(DongleChoice{DongleKind::sim}, false);
    sim = owned.get();
    rx = std::make_unique<Receiver>(rxiq12_variant, std::move(owned));
    closing.reset(new ChannelCloser{*rx, backend});  // made in place: its end stops the receiver
    rx->audio.backend = &backend;
    rx->audio.semaphore_name = semaphore.c_str();
  }

  // Opens the sound and starts the tuner and DSP threads.
  void start(std::function<void()> at_retune) {
    sim->on_read = [this, at_retune](int64_t n) {
      wait_until_drained(*rx);
      if (every_read) every_read(n);
      if (n == retune_read) at_retune();
      if (n == last_read) rx->state.running.store(0);
    };
    receiver_open_audio(*rx);
    ASSERT_NE(backend.opened(), 0) << console.text();
    receiver_start_tuner(*rx);
  }

  ConsoleCapture console;
  VirtualWaveBackend backend;
  const std::string semaphore;
  SimDongle* sim = nullptr;
  std::unique_ptr<Receiver> rx;
  std::unique_ptr<ChannelCloser> closing;  // first to go: the receiver still stands
  std::function<void(int64_t)> every_read;  // runs at each read, before at_retune
};

// Records reads 2 to 19 with a Right during reads 6, 10 and 14: each applies after its
// read is stored, so stores 5, 9 and 13 (reads 7, 11, 15) are the first at the new
// frequencies. Returns the recording's path without extension.
std::string record_three_rights(UnpacedReceiver& r, const std::string& folder, bool raw) {
  r.rx->record_settings = RecordSettings{folder, raw};
  receiver_record(*r.rx, true);
  r.every_read = [&r](int64_t n) {
    if (n == 6 || n == 10 || n == 14) key_command(receiver_keys(*r.rx), vk_right);
  };
  r.start([] {});
  receiver_join(*r.rx);
  receiver_record(*r.rx, false);
  const std::vector<std::string> made = recordings_in(folder);
  return made.size() == 1 ? made[0] : std::string();
}

const std::string recorder_line = std::string("rxiq12 ") + rxiq_version;

// 24 blocks of the simulator as the receiver reads it at its start-up tuning, raw.
std::filesystem::path record_simulator() {
  const std::filesystem::path path = std::filesystem::temp_directory_path() / ("rxiq-receiver-replay-" + std::to_string(getpid()) + ".cu8");
  SimDongle sim(sim_dongle_choice(), false);
  Dongle* dev = nullptr;
  EXPECT_EQ(sim.open(&dev, 0), 0);
  sim.set_tuner_gain_mode(dev, 1);
  sim.set_tuner_gain(dev, 496);
  sim.set_center_freq(dev, 145725000);
  sim.set_sample_rate(dev, rxiq12_variant.sample_rate);
  sim.set_freq_correction(dev, sim_crystal_error_ppm);
  std::vector<uint8_t> block(65536);
  std::ofstream out(path, std::ios::binary);
  for (int k = 0; k < 24; ++k) {
    int n = 0;
    sim.read_sync(dev, block.data(), static_cast<int>(block.size()), &n);
    out.write(reinterpret_cast<const char*>(block.data()), static_cast<std::streamsize>(block.size()));
  }
  return path;
}

}  // namespace

// What was played is what was recorded, and each retune starts a segment on the frame
// that the first sample read at the new frequency goes into (one frame per 25 samples).
TEST(ReceiverAudio, TheBasebandRecordingHoldsThePlayedBlocksAndASegmentAtEachRetune) {
  TemporaryFolder folder;
  UnpacedReceiver r("record");
  const std::string base = record_three_rights(r, folder.path, false);
  ASSERT_FALSE(base.empty()) << r.console.text();
  EXPECT_EQ(r.rx->dsp.overruns.load(), 0u);
  ASSERT_EQ(r.rx->audio.slots[0].channel.load()->queued.load(), 4);
  for (int i = 0; i < 8; ++i) ASSERT_TRUE(r.backend.step());
  const std::vector<uint8_t> all_played = r.backend.record(0).played;
  const std::vector<const int16_t*> sound = sound_blocks(all_played);
  ASSERT_EQ(sound.size(), 4u);
  std::vector<uint8_t> played;
  for (const int16_t* block : sound) {
    const auto* bytes = reinterpret_cast<const uint8_t*>(block);
    played.insert(played.end(), bytes, bytes + audio_block_bytes);
  }
  EXPECT_TRUE(read_bytes(base + ".sigmf-data") == played) << "the recording is the played baseband";
  auto frame_of_store = [](uint64_t store) { return std::to_string(store * ring_slot_pairs / 25); };
  EXPECT_EQ(sigmf_fields(base), "ci16_le\n48000\n1.0.0\n" + recorder_line + "\n0 145725000\n" +
                                    frame_of_store(5) + " 145725050\n" + frame_of_store(9) + " 145725100\n" +
                                    frame_of_store(13) + " 145725150\ndatetime 0\n");
  EXPECT_NE(r.console.text().find("Recording stopped: " + base + ".sigmf-data, 0.4 s, 81920 bytes\n"),
            std::string::npos)
      << r.console.text();
}

TEST(ReceiverAudio, TheRawRecordingHoldsEveryStoredBlockAndASegmentAtEachRetune) {
  TemporaryFolder folder;
  UnpacedReceiver r("record-raw");
  const std::string base = record_three_rights(r, folder.path, true);
  ASSERT_FALSE(base.empty()) << r.console.text();
  const std::vector<uint8_t> data = read_bytes(base + ".sigmf-data");
  ASSERT_EQ(data.size(), r.rx->ring.ring_stores.load() * ring_slot_bytes) << "every stored block";
  auto sample_of_store = [](uint64_t store) { return std::to_string(store * ring_slot_pairs); };
  EXPECT_EQ(sigmf_fields(base), "cu8\n1200000\n1.0.0\n" + recorder_line + "\n0 145725000\n" +
                                    sample_of_store(5) + " 145725050\n" + sample_of_store(9) + " 145725100\n" +
                                    sample_of_store(13) + " 145725150\ndatetime 0\n");
  // The last block stored is the one recorded last.
  std::vector<uint8_t> last(ring_slot_bytes);
  const int32_t slot = (r.rx->ring.ring_write.load() + ring_slots - 1) % ring_slots;
  ring_take_bytes(r.rx->ring, slot, last.data());
  EXPECT_TRUE(std::equal(last.begin(), last.end(), data.end() - ring_slot_bytes));
}

TEST(ReceiverAudio, PlayedBasebandHoldsTheCarrierAndFollowsThreeRights) {
  UnpacedReceiver r("test");
  ASSERT_NO_FATAL_FAILURE(r.start([&] {
    for (int i = 0; i < 3; ++i) key_command(receiver_keys(*r.rx), vk_right);
  }));
  receiver_join(*r.rx);
  EXPECT_EQ(r.rx->state.frequency.load(), 145725150);
  EXPECT_EQ(r.rx->dsp.overruns.load(), 0u);
  play_four_blocks_and_expect_carrier_moved_to(*r.rx, r.backend, 9850);
}

TEST(ReceiverAudio, OutputThatCannotOpenIsReportedAndBlocksAreRefused) {
  ConsoleCapture console;
  print_console_set_charset("UTF-8");
  VirtualWaveBackend backend(1);  // ids -1 and 0 open; 5 does not
  auto rx = std::make_unique<Receiver>(rxiq12_variant, nullptr);
  const std::string semaphore = "/rxiq-audio-fail-test-" + std::to_string(getpid()) + "-%d";
  rx->audio.backend = &backend;
  rx->audio.semaphore_name = semaphore.c_str();
  rx->state.out_device.store(5);
  receiver_open_audio(*rx);
  EXPECT_EQ(console.text(), "Не удалось открыть устройство вывода\n");
  // The receiver runs on without sound: the DSP thread's blocks are refused.
  const std::vector<uint8_t> block(audio_block_bytes, 1);
  EXPECT_EQ(audio_write(rx->audio, 0, block.data(), audio_block_bytes), 0);
  EXPECT_EQ(audio_close(rx->audio, 0), 1);
}

namespace {

// A receiver with the virtual sound device (ids -1, 0 and 1 open), started with
// --listen fm@-10000 on listen_device and the baseband on out_device.
struct ListeningAudio {
  ConsoleCapture console;
  VirtualWaveBackend backend{2};
  const std::string semaphore = "/rxiq-audio-listen-test-" + std::to_string(getpid()) + "-%d";
  std::unique_ptr<Receiver> rx = std::make_unique<Receiver>(rxiq12_variant, nullptr);
  ChannelCloser closing{*rx, backend};

  ListeningAudio(int32_t out_device, int32_t listen_device) {
    print_console_set_charset("UTF-8");
    rx->audio.backend = &backend;
    rx->audio.semaphore_name = semaphore.c_str();
    rx->state.out_device.store(out_device);
    ReceiverOptions options;
    options.listen = ListenChoice{ListenMode::fm, -10000};
    options.listen_device = listen_device;
    receiver_set_listening(*rx, options);
    receiver_open_audio(*rx);
  }
};

}  // namespace

TEST(ReceiverAudio, TheListeningChannelPlaysOnChannelOneAndTakesTheBasebandsDeviceWhenShared) {
  {
    ListeningAudio apart(-1, 1);
    EXPECT_EQ(apart.console.text(), "Listening: FM at -10000 Hz on output device 1\n");
    ASSERT_EQ(apart.backend.opened(), 2);
    // Channel 0 opens first, on the baseband's device; each is stereo at the baseband's rate.
    EXPECT_EQ(apart.backend.record(0).device_id, -1);
    EXPECT_EQ(apart.backend.record(1).device_id, 1);
    EXPECT_EQ(apart.backend.record(1).format.channels, 2);
    EXPECT_EQ(apart.backend.record(1).format.sample_rate, 48000);
  }
  {
    ListeningAudio shared(0, 0);
    EXPECT_EQ(shared.console.text(),
              "Listening: FM at -10000 Hz on output device 0\n"
              "Baseband not played: the listening channel has output device 0\n");
    ASSERT_EQ(shared.backend.opened(), 1);
    EXPECT_EQ(shared.backend.record(0).device_id, 0);
    EXPECT_EQ(shared.rx->audio.slots[0].in_use.load(), 0) << "no baseband channel";
    EXPECT_EQ(shared.rx->audio.slots[1].in_use.load(), 1);
  }
  {
    // A listening device that does not open leaves the baseband playing.
    ListeningAudio missing(-1, 5);
    EXPECT_EQ(missing.console.text(),
              "Listening: FM at -10000 Hz on output device 5\n"
              "Listening channel: output device 5 could not be opened; no demodulated sound\n");
    EXPECT_EQ(missing.rx->audio.slots[0].in_use.load(), 1);
    const std::vector<uint8_t> block(audio_block_bytes, 1);
    EXPECT_EQ(audio_write(missing.rx->audio, 1, block.data(), audio_block_bytes), 0);
  }
}

// The simulated dongle delivering given bytes instead of its scene (and then noise-free
// silence), with everything else as the simulator does it.
struct ReplayingSim : SimDongle {
  ReplayingSim(std::vector<uint8_t> recorded) : SimDongle(DongleChoice{DongleKind::sim}, false), bytes(std::move(recorded)) {}
  int read_sync(Dongle* dev, void* buf, int len, int* n_read) override {
    const int result = SimDongle::read_sync(dev, buf, len, n_read);  // counts, hooks, faults
    const size_t n = std::min(bytes.size() - at, static_cast<size_t>(len));
    std::memcpy(buf, bytes.data() + at, n);
    std::memset(static_cast<uint8_t*>(buf) + n, 127, static_cast<size_t>(len) - n);
    at += n;
    return result;
  }
  std::vector<uint8_t> bytes;
  size_t at = 0;
};

// The whole receiver listening to packets made here, FM at -10 kHz in noise, on a
// second device: what that device plays, direwolf's atest decodes.
TEST(ReceiverAudio, PacketsHeardOnTheListeningChannelAreDecodedByDirewolf) {
  const std::string atest = find_program("atest");
  if (atest.empty()) GTEST_SKIP() << "direwolf's atest is not installed (scripts/install-deps installs it)";
  constexpr int sent = 8;
  ConsoleCapture console;
  print_console_set_charset("UTF-8");
  VirtualWaveBackend backend{2};
  auto owned = std::make_unique<ReplayingSim>(packet_recording(sent, 20, 5, packet_dongle_rate));
  ReplayingSim* sim = owned.get();
  const int64_t last_read = static_cast<int64_t>(sim->bytes.size() / ring_slot_bytes) + 3;
  auto rx = std::make_unique<Receiver>(rxiq12_variant, std::move(owned));
  ChannelCloser closing{*rx, backend};
  const std::string semaphore = "/rxiq-audio-packets-test-" + std::to_string(getpid()) + "-%d";
  rx->audio.backend = &backend;
  rx->audio.semaphore_name = semaphore.c_str();
  ReceiverOptions options;
  options.listen = ListenChoice{ListenMode::fm, packet_station_offset};
  options.listen_device = 1;
  receiver_set_listening(*rx, options);
  receiver_open_audio(*rx);
  ASSERT_EQ(backend.opened(), 2) << console.text();
  // The blocks are played only at the end, so none may be dropped for waiting.
  for (int slot : {0, 1}) rx->audio.slots[slot].channel.load()->backlog_high.store(audio_max_queued);
  sim->on_read = [&](int64_t n) {
    wait_until_drained(*rx);
    if (n == last_read) rx->state.running.store(0);
  };
  receiver_start_tuner(*rx);
  receiver_join(*rx);
  AudioChannel* listening = rx->audio.slots[1].channel.load();
  ASSERT_GT(listening->queued.load(), 20);
  while (listening->queued.load() > 0) ASSERT_TRUE(backend.step(1));
  for (int k = 0; k < 2; ++k) ASSERT_TRUE(backend.step(1));  // the two buffers in flight

  const std::vector<uint8_t> played = backend.record(1).played;
  std::vector<float> left(played.size() / 4);
  for (size_t k = 0; k < left.size(); ++k) {
    left[k] = static_cast<float>(static_cast<int16_t>(played[4 * k] | (played[4 * k + 1] << 8)) / 32767.0);
  }
  const std::string wav = RXIQ_BINARY_DIR "/tests/receiver-packets-" + std::to_string(getpid()) + ".wav";
  write_wav(wav, left, static_cast<uint32_t>(rxiq12_variant.frame_rate));
  const std::string text = run_output(atest + " -B 1200 " + wav + " 2>&1");
  std::remove(wav.c_str());
  for (int n = 1; n <= sent; ++n) {
    EXPECT_NE(text.find("N0CALL-7>APZRXQ,WIDE1-1:>" + std::string(packet_text) + " " + std::to_string(n) + "\n"),
              std::string::npos)
        << "packet " << n << "\n" << text.substr(0, 2000);
  }
  EXPECT_EQ(rx->dsp.overruns.load(), 0u);
}

TEST(ReceiverAudio, DongleAcrossTheNetworkPlaysTheCarrierAndFollowsThreeRights) {
  ConsoleCapture console;
  print_console_set_charset("UTF-8");
  SimServer sim;
  ASSERT_TRUE(wait_until([&] { return sim.server.bound_port.load() != 0; }));
  DongleChoice choice;
  choice.kind = DongleKind::tcp;
  choice.host = "127.0.0.1";
  choice.port = static_cast<uint16_t>(sim.server.bound_port.load());

  VirtualWaveBackend backend;
  auto rx = std::make_unique<Receiver>(rxiq12_variant, std::make_unique<RtlTcpDongle>(choice));
  ChannelCloser closing{*rx, backend};
  const std::string semaphore = "/rxiq-audio-tcp-test-" + std::to_string(getpid()) + "-%d";
  rx->audio.backend = &backend;
  rx->audio.semaphore_name = semaphore.c_str();
  receiver_open_audio(*rx);
  ASSERT_NE(backend.opened(), 0) << console.text();
  // Every block made waits to be played at the end: on a slow machine more of them than
  // the latency bound keeps would otherwise be dropped before the first is played.
  rx->audio.slots[0].channel.load()->backlog_high.store(audio_max_queued);
  receiver_start_tuner(*rx);

  ASSERT_TRUE(wait_until([&] { return rx->ring.ring_stores.load() >= 8; })) << console.text();
  for (int i = 0; i < 3; ++i) key_command(receiver_keys(*rx), vk_right);
  const uint64_t retuned_at = rx->ring.ring_stores.load();
  ASSERT_TRUE(wait_until([&] { return rx->dsp.next_store.load() >= retuned_at + 16; }));
  rx->state.running.store(0);
  receiver_join(*rx);
  EXPECT_EQ(rx->state.frequency.load(), 145725150);
  EXPECT_EQ(rx->dsp.overruns.load(), 0u);
  const std::string text = console.text();
  EXPECT_NE(text.find("\t0: rtl_tcp, 127.0.0.1:" + std::to_string(choice.port) + ", SN: R820T\n"),
            std::string::npos)
      << text;
  EXPECT_EQ(text.find(dongle_gone_text), std::string::npos) << text;

  AudioChannel* channel = rx->audio.slots[0].channel.load();
  ASSERT_NE(channel, nullptr);
  const int queued = channel->queued.load();
  ASSERT_GE(queued, 5) << text;
  for (int i = 0; i < 2 * queued + 4; ++i) ASSERT_TRUE(backend.step());
  const std::vector<uint8_t> played = backend.record(0).played;
  const std::vector<const int16_t*> sound = sound_blocks(played);
  ASSERT_GE(sound.size(), 5u);
  expect_carrier_then_three_rights(sound);
}

TEST(ReceiverAudio, HamlibsRigctlTunesThePlayedCarrierAtOnce) {
  ASSERT_FALSE(find_program("rigctl").empty()) << "Hamlib's rigctl (libhamlib-utils) is needed";
  UnpacedReceiver r("rigctl-test");
  print_console_set_charset("UTF-8");
  Receiver* rx = r.rx.get();
  rx->rigctl.port = 0;

  // The tuner holds still in read 12 while rigctl talks to the port, so that the retune
  // lands between the same two blocks every run.
  std::atomic<bool> holding{false}, retuned{false};
  ASSERT_NO_FATAL_FAILURE(r.start([&] {
    holding.store(true);
    wait_until([&] { return retuned.load(); });
  }));
  ASSERT_TRUE(rigctl_start(rx->rigctl, rx->state, rxiq12_variant, &rx->dsp.level_dbfs)) << r.console.text();
  const std::string port = std::to_string(rx->rigctl.bound_port.load());
  ASSERT_TRUE(wait_until([&] { return holding.load(); }));

  // A second program on the port at the same time, as a logger beside a tracker.
  TcpClient logger(static_cast<uint16_t>(rx->rigctl.bound_port.load()));
  ASSERT_TRUE(logger.send("l STRENGTH\n"));
  ASSERT_TRUE(logger.read_until("\n"));
  EXPECT_LT(std::stoi(logger.received()), 0) << "the baseband's level in dB below full scale";

  const std::string rigctl = "rigctl -m 2 -r 127.0.0.1:" + port;
  EXPECT_EQ(run_output(rigctl + " F 145730000 f 2>/dev/null"), "145730000\n");
  EXPECT_EQ(run_status(rigctl + " '\\dump_state' >/dev/null 2>&1"), 0);
  // A fresh rigctl for the reads: Hamlib answers a read from its own cache right after a set.
  EXPECT_EQ(run_output(rigctl + " M USB 0 L RF 0.5 2>/dev/null"), "");
  EXPECT_EQ(run_output(rigctl + " m l RF 2>/dev/null"), "USB\n2400\n0.500000\n");
  logger.clear();
  ASSERT_TRUE(logger.send("f\n"));
  EXPECT_TRUE(logger.read_until("145730000\n")) << "every client sees the same receiver";
  retuned.store(true);

  receiver_join(*rx);
  rigctl_stop(rx->rigctl);
  EXPECT_EQ(rx->state.frequency.load(), 145730000);
  EXPECT_EQ(rx->dsp.overruns.load(), 0u);
  play_four_blocks_and_expect_carrier_moved_to(*rx, r.backend, 5000);
}

// Hamlib's own client on the control port of a receiver with a listening channel: its mode
// and squelch, set and read back.
TEST(ReceiverAudio, HamlibsRigctlSetsTheListeningChannelsModeAndSquelch) {
  ASSERT_FALSE(find_program("rigctl").empty()) << "Hamlib's rigctl (libhamlib-utils) is needed";
  ConsoleCapture console;
  auto rx = std::make_unique<Receiver>(rxiq12_variant, nullptr);
  ReceiverOptions options;
  options.listen = ListenChoice{ListenMode::usb, 12000};  // beyond FM's reach in rxiq12
  receiver_set_listening(*rx, options);
  rx->rigctl.port = 0;
  ASSERT_TRUE(rigctl_start(rx->rigctl, rx->state, rxiq12_variant, &rx->dsp.level_dbfs,
                           &rx->dsp.listen.squelch_open))
      << console.text();
  const std::string rigctl = "rigctl -m 2 -r 127.0.0.1:" + std::to_string(rx->rigctl.bound_port.load());

  EXPECT_EQ(run_output(rigctl + " M PKTLSB 0 L SQL 0.5 2>&1"), "");
  EXPECT_EQ(rx->state.listen_mode.load(), static_cast<int32_t>(ListenMode::lsb));
  EXPECT_EQ(rx->state.squelch.load(), -600);
  // A fresh rigctl for the reads: Hamlib answers a read from its own cache right after a set.
  EXPECT_EQ(run_output(rigctl + " m l SQL 2>&1"), "PKTLSB\n2400\n0.500000\n");
  // FM does not fit 12 kHz away: Hamlib reports the refusal (RPRT -1) as an invalid parameter.
  const std::string refused = run_output(rigctl + " M FM 0 2>&1");
  EXPECT_TRUE(refused.starts_with("set_mode: error = ")) << refused;
  EXPECT_NE(refused.find("Invalid parameter"), std::string::npos) << refused;
  EXPECT_EQ(rx->state.listen_mode.load(), static_cast<int32_t>(ListenMode::lsb));
  EXPECT_EQ(run_output(rigctl + " L SQL 0 l SQL 2>&1"), "0.000000\n");
  EXPECT_EQ(rx->state.squelch.load(), squelch_off);
  rigctl_stop(rx->rigctl);
}

// The whole receiver on a recording of the simulator, played by the unpaced file dongle.
TEST(ReceiverAudio, ARecordingPlaysItsCarrierAndFollowsThreeRights) {
  const std::filesystem::path path = record_simulator();
  ConsoleCapture console;
  VirtualWaveBackend backend;
  const std::string semaphore = "/rxiq-audio-replay-" + std::to_string(getpid()) + "-%d";
  DongleChoice choice;
  ASSERT_TRUE(parse_dongle_choice(("file:" + path.string() + ",rate=1200000").c_str(), choice));
  auto owned = std::make_unique<FileDongle>(choice, false);
  FileDongle* file = owned.get();
  auto rx = std::make_unique<Receiver>(rxiq12_variant, std::move(owned));
  {
    ChannelCloser closing{*rx, backend};
    rx->audio.backend = &backend;
    rx->audio.semaphore_name = semaphore.c_str();
    file->on_read = [&](int64_t n) {
      wait_until_drained(*rx);
      if (n == 12) {
        for (int i = 0; i < 3; ++i) key_command(receiver_keys(*rx), vk_right);
      }
      if (n == 20) rx->state.running.store(0);
    };
    receiver_open_audio(*rx);
    ASSERT_NE(backend.opened(), 0) << console.text();
    receiver_start_tuner(*rx);
    receiver_join(*rx);
    EXPECT_EQ(rx->state.frequency.load(), 145725150);
    EXPECT_EQ(rx->dsp.overruns.load(), 0u);
    EXPECT_NE(console.text().find("rxiq file, " + path.filename().string() + ", SN: 00000001"), std::string::npos)
        << console.text();

    // Reads 2 to 19 stored: 18 blocks of 32,768 samples make 4 PCM blocks.
    play_four_blocks_and_expect_carrier_moved_to(*rx, backend, 9850);
  }
  std::filesystem::remove(path);
}

TEST(ReceiverAudio, ShutdownWaitsForTheTunerToLeaveItsReadAndCloseTheDongle) {
  ConsoleCapture console;
  // Paced: each read takes its real 27 ms, so the stop lands inside one.
  auto owned = std::make_unique<SimDongle>(sim_dongle_choice(), true);
  SimDongle* sim = owned.get();
  auto rx = std::make_unique<Receiver>(rxiq12_variant, std::move(owned));
  receiver_start_tuner(*rx);
  ASSERT_TRUE(wait_until([&] { return rx->ring.ring_stores.load() >= 2; })) << console.text();
  receiver_stop(*rx);
  receiver_wait_dongle_closed(*rx);
  EXPECT_EQ(rx->tuner_end.done.load(), 1) << "the wait ended on the tuner, not on its limit";
  EXPECT_FALSE(sim->is_open);
}
