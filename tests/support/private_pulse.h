// A PulseAudio daemon of the test's own: its runtime folder, socket and home under a
// fresh /tmp folder (no user's sound server, no D-Bus), a null sink named rxiq_test
// (no card needed), and parecord on the sink's monitor to hear what was played. The
// environment it sets (HOME, XDG_*, PULSE_SERVER) is inherited by the programs the test
// starts. The server can be stopped and started again, as a user's would be.
#pragma once

#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <sys/stat.h>
#include <thread>
#include <vector>

#include "tests/support/child_process.h"

class PrivatePulse {
 public:
  static constexpr int frame_rate = 48000;  // the sink's and rxiq12's
  static constexpr auto startup_limit = std::chrono::seconds(30);

  PrivatePulse() {
    char pattern[] = "/tmp/rxiq-pulse-XXXXXX";
    if (mkdtemp(pattern) == nullptr) return;
    dir_ = pattern;
    setenv("HOME", dir_.c_str(), 1);
    setenv("XDG_RUNTIME_DIR", dir_.c_str(), 1);
    setenv("XDG_CONFIG_HOME", (dir_ + "/config").c_str(), 1);
    setenv("PULSE_RUNTIME_PATH", (dir_ + "/pulse").c_str(), 1);
    setenv("PULSE_SERVER", ("unix:" + dir_ + "/pulse/native").c_str(), 1);
    unsetenv("DBUS_SESSION_BUS_ADDRESS");
    unsetenv("DISPLAY");
    mkdir((dir_ + "/config").c_str(), 0700);
  }

  // Stops both; the folder goes too unless keep (a failed test's logs).
  void finish(bool keep) {
    stop_child(recorder_);
    stop_child(server_);
    if (!keep && !dir_.empty()) std::filesystem::remove_all(dir_);
  }

  const std::string& dir() const { return dir_; }

  // Starts the daemon and waits until it answers.
  void start_server() {
    ASSERT_FALSE(dir_.empty()) << "no folder for the sound server";
    const std::string sink = "module-null-sink sink_name=rxiq_test format=s16le channels=2 rate=" +
                             std::to_string(frame_rate);
    server_ = spawn({"pulseaudio", "-n", "--daemonize=no", "--exit-idle-time=-1",
                     "--use-pid-file=no", "--system=no", "--disable-shm=yes",
                     "--log-target=stderr", "--load=" + sink,
                     "--load=module-native-protocol-unix"},
                    dir_ + "/pulseaudio.log");
    ASSERT_GT(server_, 0) << "cannot start pulseaudio";
    ASSERT_TRUE(poll_until([&] { return run({"pactl", "info"}, dir_ + "/pactl.log") == 0; }))
        << "the sound server did not come up; see " << dir_;
  }

  // Ends the daemon as a crash or a user's `pulseaudio -k` would; the recorder goes with it.
  void stop_server() {
    stop_child(recorder_);
    stop_child(server_);
  }

  // Records the sink's monitor into `path` and waits until it delivers.
  void start_recorder(const std::string& path) {
    recorder_ = spawn({"parecord", "--raw", "--format=s16le", "--channels=2",
                       "--rate=" + std::to_string(frame_rate), "--device=rxiq_test.monitor",
                       path},
                      dir_ + "/parecord.log");
    ASSERT_GT(recorder_, 0);
    // An idle sink's monitor can take a while before it delivers anything.
    ASSERT_TRUE(poll_until([&] {
      std::error_code e;
      return std::filesystem::file_size(path, e) > 0 && !e;
    })) << "the monitor delivers nothing";
  }

  // Looks at `done` until it holds; false if it did not within `limit`.
  template <class Done>
  static bool poll_until(Done done, std::chrono::seconds limit = startup_limit) {
    return ::poll_until(done, limit);
  }

 private:
  std::string dir_;
  pid_t server_ = -1;
  pid_t recorder_ = -1;
};
