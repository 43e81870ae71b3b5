// The built receiver with no terminal on standard input, as a service manager, nohup, a
// pipe or a closed descriptor starts it: SIGTERM, SIGINT and SIGHUP each end it cleanly,
// and nothing it writes holds an escape sequence.
#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <filesystem>
#include <poll.h>
#include <string>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "control/receiver.h"
#include "tests/support/child_process.h"
#include "tests/support/sigmf_files.h"

using namespace std::chrono_literals;

namespace {

const std::string program = std::string(RXIQ_BINARY_DIR) + "/rxiq12";
const std::string farewell = "Окончание цикла HandlerRoutine\n";

enum class Input {
  null_device,  // a service: systemd's default
  open_pipe,    // kept open and silent, as by a parent that never writes
  ended_pipe,   // closed by the writer before anything was sent
  closed,       // descriptor 0 not open at all
  unreadable,   // the null device opened for writing only, as nohup leaves it
};

const char* name_of(Input input) {
  switch (input) {
    case Input::null_device: return "/dev/null";
    case Input::open_pipe: return "open pipe";
    case Input::ended_pipe: return "ended pipe";
    case Input::closed: return "closed";
    case Input::unreadable: return "unreadable";
  }
  return "?";
}

struct Start {
  Input input = Input::null_device;
  std::vector<std::string> args;
  std::vector<std::string> env;
  int ignored_signal = 0;      // started with this one ignored, as nohup ignores SIGHUP
  bool outputs_closed = false;  // standard output and error closed as well
};

// The receiver as a child: its standard output and error come back through one pipe.
class Unattended {
 public:
  explicit Unattended(const Start& start) {
    int input[2] = {-1, -1};
    int output[2] = {-1, -1};
    if (pipe(input) != 0 || pipe(output) != 0) return;
    const pid_t parent = getpid();
    pid_ = fork();
    if (pid_ == 0) {
      prctl(PR_SET_PDEATHSIG, SIGKILL);
      if (getppid() != parent) _exit(127);
      // The test runner's mask and ignored signals are not the receiver's to inherit: it
      // starts as a service manager starts it.
      sigset_t none;
      sigemptyset(&none);
      sigprocmask(SIG_SETMASK, &none, nullptr);
      for (int s : {SIGINT, SIGQUIT, SIGHUP, SIGTERM, SIGTSTP}) signal(s, SIG_DFL);
      if (start.ignored_signal != 0) signal(start.ignored_signal, SIG_IGN);
      switch (start.input) {
        case Input::null_device: dup2(open("/dev/null", O_RDONLY), 0); break;
        case Input::unreadable: dup2(open("/dev/null", O_WRONLY), 0); break;
        case Input::open_pipe:
        case Input::ended_pipe: dup2(input[0], 0); break;
        case Input::closed: close(0); break;
      }
      if (start.outputs_closed) {
        close(1);
        close(2);
      } else {
        dup2(output[1], 1);
        dup2(output[1], 2);
      }
      // Only 0 to 2 stay open: the pipes' other ends would keep them from ending.
      for (int fd = 3; fd < 64; ++fd) close(fd);
      for (const std::string& e : start.env) putenv(const_cast<char*>(e.c_str()));
      std::vector<char*> argv{const_cast<char*>(program.c_str())};
      for (const std::string& a : start.args) argv.push_back(const_cast<char*>(a.c_str()));
      argv.push_back(nullptr);
      execv(program.c_str(), argv.data());
      _exit(127);
    }
    close(input[0]);
    close(output[1]);
    out_ = output[0];
    keys_ = input[1];
    if (start.input == Input::ended_pipe) close_keys();
  }

  ~Unattended() {
    if (pid_ > 0 && !exited_) {
      kill(pid_, SIGKILL);
      waitpid(pid_, nullptr, 0);
    }
    close_keys();
    if (out_ >= 0) close(out_);
  }

  pid_t pid() const { return pid_; }
  const std::string& output() const { return output_; }

  void send(const std::string& bytes) {
    if (keys_ >= 0 && write(keys_, bytes.data(), bytes.size()) < 0) return;
  }
  void close_keys() {
    if (keys_ >= 0) close(keys_);
    keys_ = -1;
  }

  // Reads output until it holds needle (true) or the limit passes (false).
  bool wait_for(const std::string& needle, std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    while (output_.find(needle) == std::string::npos) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0 || !read_some(static_cast<int>(left.count()))) return false;
    }
    return true;
  }

  // Reads the output to its end and waits for the program to end: its wait status, or
  // -1 when it is still running at the limit.
  int wait_exit(std::chrono::milliseconds limit) {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    for (;;) {
      int status = 0;
      if (waitpid(pid_, &status, WNOHANG) == pid_) {
        exited_ = true;
        while (read_some(0)) {
        }
        return status;
      }
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0) return -1;
      // At the end of the output the program is ending; the wait status follows soon.
      if (!read_some(std::min<int>(20, static_cast<int>(left.count())))) std::this_thread::sleep_for(5ms);
    }
  }

 private:
  bool read_some(int timeout_ms) {
    if (out_ < 0) return false;
    pollfd p{out_, POLLIN, 0};
    if (poll(&p, 1, timeout_ms) <= 0) return false;
    char buffer[4096];
    const ssize_t n = read(out_, buffer, sizeof buffer);
    if (n <= 0) return false;
    output_.append(buffer, static_cast<size_t>(n));
    return true;
  }

  pid_t pid_ = -1;
  int out_ = -1;
  int keys_ = -1;
  bool exited_ = false;
  std::string output_;
};

const std::vector<std::string> sim_environment = {"LANG=C.UTF-8", "LC_ALL=C.UTF-8", "RXIQ_DONGLE=sim"};

// Waits until the dongle runs and the tuner has applied its first requests after the
// first block (the gain line): from then on the receiver prints nothing by itself.
bool wait_running(Unattended& rx) {
  return rx.wait_for("Type V for user interface\n", 20s) && rx.wait_for("Set gain \n", 20s);
}

// The last line of text, its newline included.
std::string last_line(const std::string& text) {
  if (text.empty()) return "";
  const size_t start = text.rfind('\n', text.size() - 2);
  return start == std::string::npos ? text : text.substr(start + 1);
}

}  // namespace

TEST(Unattended, EachEndSignalEndsItCleanlyWhateverStandardInputIs) {
  for (Input input : {Input::null_device, Input::open_pipe, Input::ended_pipe, Input::closed}) {
    for (int signal_number : {SIGTERM, SIGINT, SIGHUP}) {
      SCOPED_TRACE(std::string(name_of(input)) + ", signal " + std::to_string(signal_number));
      Unattended rx({input, {}, sim_environment});
      ASSERT_GT(rx.pid(), 0);
      ASSERT_TRUE(wait_running(rx)) << rx.output();
      EXPECT_NE(rx.output().find(unattended_text), std::string::npos) << rx.output();
      kill(rx.pid(), signal_number);
      const int status = rx.wait_exit(20s);
      ASSERT_TRUE(WIFEXITED(status)) << rx.output();
      EXPECT_EQ(WEXITSTATUS(status), 0);
      EXPECT_EQ(last_line(rx.output()), farewell) << rx.output();
      EXPECT_EQ(rx.output().find("dwCtrlType"), std::string::npos) << rx.output();
      EXPECT_EQ(rx.output().find('\x1b'), std::string::npos) << rx.output();
    }
  }
}

// Piped keys still drive it, also those that would draw, move the cursor or ask the
// terminal something on a terminal; none of that reaches a pipe.
TEST(Unattended, PipedKeysWorkAndWriteNoEscapeSequence) {
  Unattended rx({Input::open_pipe, {}, sim_environment});
  ASSERT_TRUE(wait_running(rx)) << rx.output();
  rx.send("v\x1b[5~t");  // the display, the level line (PgUp), the top flag
  ASSERT_TRUE(rx.wait_for("Display: standard output is not a terminal", 20s)) << rx.output();
  ASSERT_TRUE(rx.wait_for("Delitel = ", 20s)) << rx.output();
  ASSERT_TRUE(rx.wait_for("Top 1", 20s)) << rx.output();
  rx.send("\x1b[6~");  // PgDn: the level line stops, so the farewell is the last line
  rx.close_keys();     // the end of the keys ends nothing
  kill(rx.pid(), SIGQUIT);
  ASSERT_TRUE(rx.wait_for("dwCtrlType = 1\n", 20s)) << rx.output();
  kill(rx.pid(), SIGINT);
  const int status = rx.wait_exit(20s);
  ASSERT_TRUE(WIFEXITED(status)) << rx.output();
  EXPECT_EQ(WEXITSTATUS(status), 0);
  EXPECT_NE(rx.output().find(farewell), std::string::npos) << rx.output();
  EXPECT_EQ(rx.output().find('\x1b'), std::string::npos) << rx.output();
}

// nohup ignores SIGHUP and leaves standard input unreadable: the hang-up passes by (the
// SIGQUIT behind it is still answered), and SIGTERM ends the receiver.
TEST(Unattended, ASignalIgnoredAtStartStaysIgnored) {
  Unattended rx({Input::unreadable, {}, sim_environment, SIGHUP});
  ASSERT_TRUE(wait_running(rx)) << rx.output();
  kill(rx.pid(), SIGHUP);
  kill(rx.pid(), SIGQUIT);
  ASSERT_TRUE(rx.wait_for("dwCtrlType = 1\n", 20s)) << rx.output();
  EXPECT_EQ(rx.output().find(farewell), std::string::npos) << rx.output();
  kill(rx.pid(), SIGTERM);
  const int status = rx.wait_exit(20s);
  ASSERT_TRUE(WIFEXITED(status)) << rx.output();
  EXPECT_EQ(WEXITSTATUS(status), 0);
  EXPECT_EQ(last_line(rx.output()), farewell) << rx.output();
}

// With all three standard descriptors closed, the files the receiver opens later (a
// recording here) must not take their numbers: no message may land in them.
TEST(Unattended, ClosedStandardDescriptorsLeaveTheRecordingsAlone) {
  TemporaryFolder folder;
  const std::string status_file = folder.path + "/status";
  std::vector<std::string> env = sim_environment;
  env.push_back("RXIQ_STATUS=" + status_file);
  const std::string recordings = folder.path + "/recordings";
  std::filesystem::create_directory(recordings);
  Unattended rx({Input::closed, {"--record", recordings}, env, 0, true});
  ASSERT_GT(rx.pid(), 0);
  // The status file comes from the key loop's thread once a second; a recording made
  // since then has blocks in it.
  const auto deadline = std::chrono::steady_clock::now() + 20s;
  auto recorded = [&] {
    for (const std::string& base : recordings_in(recordings)) {
      std::error_code error;
      if (std::filesystem::file_size(base + ".sigmf-data", error) >= 2 * 20480) return true;
    }
    return false;
  };
  while (!(std::filesystem::exists(status_file) && recorded()) && std::chrono::steady_clock::now() < deadline) {
    std::this_thread::sleep_for(20ms);
  }
  ASSERT_TRUE(recorded());
  kill(rx.pid(), SIGTERM);
  const int status = rx.wait_exit(20s);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
  for (const auto& entry : std::filesystem::directory_iterator(recordings)) {
    const std::vector<uint8_t> bytes = read_bytes(entry.path().string());
    const std::string text(bytes.begin(), bytes.end());
    for (const char* message : {"Type V for user interface", loop_start_text, farewell.c_str()}) {
      EXPECT_EQ(text.find(message), std::string::npos) << entry.path() << " holds " << message;
    }
  }
}
