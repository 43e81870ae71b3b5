// The built receiver on a sound server that goes away and comes back: a private
// PulseAudio with a null sink, ended under the running receiver and started again. The
// receiver says its output device is lost, then back, and the sink carries its sound
// again.
#include <gtest/gtest.h>

#include <algorithm>
#include <sys/wait.h>

#include "tests/support/private_pulse.h"
#include "tests/support/pty_process.h"

using namespace std::chrono_literals;

// The sound server's client library and ALSA are not built for ThreadSanitizer; see
// tests/audio/portaudio_path_test.cpp. Never called without it.
extern "C" const char* __tsan_default_suppressions() {
  return "race:libpulse\n"
         "race:libasound\n";
}

namespace {

const std::string program = std::string(RXIQ_BINARY_DIR) + "/rxiq12";

// Whether the recording holds more than a block's worth of sound (non-zero bytes),
// reading the receiver's output meanwhile so that it never waits for the terminal.
bool sound_recorded(PtyProcess& rx, const std::string& path) {
  return PrivatePulse::poll_until([&] {
    rx.wait_for("\x01", 10ms);
    const std::vector<uint8_t> got = read_bytes(path);
    return std::count_if(got.begin(), got.end(), [](uint8_t b) { return b != 0; }) > 20480;
  });
}

TEST(ReceiverSoundServer, LostWhenTheServerEndsBackWhenItReturns) {
  PrivatePulse pulse;
  ASSERT_NO_FATAL_FAILURE(pulse.start_server());
  PtyProcess rx(program, {}, {"LANG=C.UTF-8", "LC_ALL=C.UTF-8", "RXIQ_DONGLE=sim"});
  ASSERT_TRUE(rx.started());
  ASSERT_TRUE(rx.wait_for("\x1b[c", 20s)) << rx.output();
  rx.send("\x1b[?62;22c");  // the terminal's answer to the display probe

  pulse.start_recorder(pulse.dir() + "/before.raw");
  EXPECT_TRUE(sound_recorded(rx, pulse.dir() + "/before.raw")) << "no sound at first";

  pulse.stop_server();
  EXPECT_TRUE(rx.wait_for("lost: sound stopped; trying again every 2 s\n", 30s)) << rx.output();
  pulse.start_server();
  EXPECT_TRUE(rx.wait_for(") back\n", 30s)) << rx.output();
  pulse.start_recorder(pulse.dir() + "/after.raw");
  EXPECT_TRUE(sound_recorded(rx, pulse.dir() + "/after.raw")) << "silent after the return";

  rx.send("\x1b");
  const int status = rx.wait_exit(10s);
  EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << rx.output();
  EXPECT_TRUE(rx.mode_restored());
  pulse.finish(HasFailure());
}

}  // namespace
