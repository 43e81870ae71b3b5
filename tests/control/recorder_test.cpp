// Recordings made through the recorder's own calls: names, refusals, a file size limit.
// The whole receiver's recordings are tested in receiver_audio_test and receiver_test.
#include "control/recorder.h"

#include <gtest/gtest.h>

#include <csignal>
#include <regex>
#include <fstream>
#include <iterator>
#include <sys/resource.h>
#include <sys/stat.h>
#include <thread>
#include <vector>

#include "core/print_console.h"
#include "tests/support/console_capture.h"
#include "tests/support/sigmf_files.h"

namespace {

const std::string version_line = std::string("rxiq12 ") + rxiq_version;

}  // namespace

TEST(Recorder, NamesTimeAndFrequencyNeverOverwritesAndSaysWhereAndHowLong) {
  TemporaryFolder folder;
  ConsoleCapture console;
  Recorder recorder(rxiq12_variant);
  // A clash takes the next suffix: the first name of this second exists already (tried
  // again should the second turn between the two looks at the clock).
  std::string taken;
  for (int attempt = 0; attempt < 3; ++attempt) {
    taken = folder.path + "/" + record_base_name(utc_stamp_now().compact, 145725000);
    write_bytes(taken + ".sigmf-data", {1, 2, 3});
    ASSERT_TRUE(recorder_start(recorder, RecordSettings{folder.path, false}, 145725000));
    if (recorder.base_path == taken + "-1") break;
    recorder_stop(recorder);
  }
  ASSERT_EQ(recorder.base_path, taken + "-1");
  EXPECT_TRUE(std::regex_match(taken, std::regex(".*/rxiq-\\d{8}T\\d{6}Z-145725000")));
  EXPECT_TRUE(recorder_running(recorder));
  const std::vector<uint8_t> block(20480, 7);
  for (int k = 0; k < 3; ++k) recorder_block(recorder, false, block.data(), static_cast<int32_t>(block.size()));
  recorder_block(recorder, true, block.data(), 100);  // the other stream: not recorded
  // A retune to the frequency it stands at begins nothing; another waits for the DSP
  // thread to reach its first store, and starts on the frame that store's samples begin.
  recorder_retune(recorder, 4, 145725000);
  recorder_retune(recorder, 5, 145725050);
  recorder_slot_start(recorder, 4, 300);
  recorder_slot_start(recorder, 5, 700);
  recorder_stop(recorder);
  EXPECT_FALSE(recorder_running(recorder));

  EXPECT_EQ(read_bytes(taken + ".sigmf-data"), (std::vector<uint8_t>{1, 2, 3})) << "left alone";
  EXPECT_EQ(read_bytes(taken + "-1.sigmf-data").size(), 3 * block.size());
  const std::string text = console.text();
  EXPECT_NE(text.find("Recording the baseband to " + taken + "-1.sigmf-data (ci16_le)\n"), std::string::npos) << text;
  // 3 blocks of 5,120 frames at 48,000 frames/s.
  EXPECT_NE(text.find("Recording stopped: " + taken + "-1.sigmf-data, 0.3 s, 61440 bytes\n"), std::string::npos) << text;
  EXPECT_EQ(sigmf_fields(taken + "-1"), "ci16_le\n48000\n1.0.0\n" + version_line +
                                            "\n0 145725000\n16060 145725050\ndatetime 0\n");
}

TEST(Recorder, AFolderThatCannotBeWrittenIsRefusedWithAMessage) {
  TemporaryFolder folder;
  ConsoleCapture console;
  Recorder recorder(rxiq12_variant);
  const std::string missing = folder.path + "/missing";
  EXPECT_FALSE(recorder_start(recorder, RecordSettings{missing, true}, 100000000));
  EXPECT_FALSE(recorder_running(recorder));
  EXPECT_TRUE(std::regex_search(console.text(), std::regex("^Recording not started: cannot create " + missing +
                                                           "/rxiq-\\d{8}T\\d{6}Z-100000000\\.sigmf-meta: "
                                                           "No such file or directory\n$")))
      << console.text();
  // Nothing to stop; the taps take nothing.
  recorder_block(recorder, true, "ab", 2);
  recorder_stop(recorder);
}

// A file size limit stands for a full disk: the recording ends with a message, what
// reached the disk stays readable, and the next recording may start.
TEST(Recorder, AFullDiskStopsTheRecordingAndLeavesItReadable) {
  TemporaryFolder folder;
  const pid_t child = fork();
  if (child == 0) {
    ConsoleCapture console;
    std::signal(SIGXFSZ, SIG_IGN);  // the write fails with EFBIG instead
    const rlimit limit{200000, 200000};
    setrlimit(RLIMIT_FSIZE, &limit);
    Recorder recorder(rxiq12_variant);
    if (!recorder_start(recorder, RecordSettings{folder.path, true}, 433920000)) _exit(2);
    const std::vector<uint8_t> block(65536, 128);
    while (!recorder.failed.load()) {
      recorder_block(recorder, true, block.data(), 65536);
      std::this_thread::yield();
    }
    EXPECT_FALSE(recorder_running(recorder));
    recorder_stop(recorder);
    const std::string text = console.text();
    const bool said = text.find(".sigmf-data: File too large\n") != std::string::npos &&
                      text.find("Recording stopped: cannot write ") != std::string::npos &&
                      text.find(".sigmf-data, 0.1 s, 200000 bytes\n") != std::string::npos;
    _exit(said ? 0 : 3);
  }
  int status = 0;
  ASSERT_EQ(waitpid(child, &status, 0), child);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0) << "2: not started, 3: not the messages";
  const std::vector<std::string> made = recordings_in(folder.path);
  ASSERT_EQ(made.size(), 1u);
  EXPECT_EQ(read_bytes(made[0] + ".sigmf-data").size(), 200000u) << "up to the limit";
  EXPECT_EQ(sigmf_fields(made[0]), "cu8\n1200000\n1.0.0\n" + version_line + "\n0 433920000\ndatetime 0\n");
}

// A writer held up (here on a pipe standing where the metadata's temporary file goes,
// which it opens at the retune before any block) leaves the pool to fill: the blocks
// beyond it are dropped whole and counted, and those in it are written afterwards.
TEST(Recorder, AFullPoolDropsWholeBlocksAndCountsThem) {
  TemporaryFolder folder;
  ConsoleCapture console;
  Recorder recorder(rxiq12_variant);
  ASSERT_TRUE(recorder_start(recorder, RecordSettings{folder.path, true}, 145725000));
  const std::string temporary = recorder.base_path + ".sigmf-meta.tmp";
  ASSERT_EQ(mkfifo(temporary.c_str(), 0600), 0);
  recorder_retune(recorder, 0, 145800000);
  std::vector<uint8_t> block(65536);
  for (int k = 0; k < record_pool_blocks + 5; ++k) {
    block[0] = static_cast<uint8_t>(k);
    recorder_block(recorder, true, block.data(), 65536);
  }
  EXPECT_EQ(recorder.dropped.load(), 5u);
  {
    std::ifstream held_up(temporary, std::ios::binary);  // lets the writer go on
    const std::string meta((std::istreambuf_iterator<char>(held_up)), {});
    EXPECT_NE(meta.find("145800000"), std::string::npos);
  }
  std::remove(temporary.c_str());
  recorder_stop(recorder);
  const std::vector<uint8_t> data = read_bytes(recorder.base_path + ".sigmf-data");
  ASSERT_EQ(data.size(), size_t{record_pool_blocks} * 65536u);
  for (int k = 0; k < record_pool_blocks; ++k) EXPECT_EQ(data[size_t(k) * 65536u], k) << "in order";
  EXPECT_EQ(sigmf_fields(recorder.base_path),
            "cu8\n1200000\n1.0.0\n" + version_line + "\n0 145725000\n0 145800000\ndatetime 0\n");
}
