// The built receiver, run on a pseudo-terminal as a person would run it.
#include <gtest/gtest.h>

#include <regex>

#include "terminal/terminal_graphics.h"
#include "tests/support/loopback.h"
#include "tests/support/pty_process.h"
#include "tests/support/sigmf_files.h"
#include "variants/variant.h"
#include "tests/support/tcp_client.h"

using namespace std::chrono_literals;

namespace {

const std::string program = std::string(RXIQ_BINARY_DIR) + "/rxiq12";
const std::vector<std::string> environment = {"LANG=C.UTF-8", "LC_ALL=C.UTF-8"};
// The simulated dongle with the half-block picture, which any terminal shows.
const std::vector<std::string> sim_with_blocks = [] {
  std::vector<std::string> env = environment;
  env.insert(env.end(), {"RXIQ_DONGLE=sim", "RXIQ_DISPLAY=blocks"});
  return env;
}();

std::vector<std::string> lines_of(const std::string& text) {
  std::vector<std::string> lines;
  std::string line;
  for (char c : text) {
    if (c == '\n') {
      lines.push_back(line);
      line.clear();
    } else {
      line += c;
    }
  }
  if (!line.empty()) lines.push_back(line);
  return lines;
}

}  // namespace

TEST(Receiver, BannerDeviceListsAndEscapeRestoreTheTerminal) {
  PtyProcess rx(program, {}, environment);
  ASSERT_TRUE(rx.started());
  ASSERT_TRUE(wait_for_key_loop(rx)) << rx.output();
  rx.send("\x1b");
  int status = rx.wait_exit(10s);
  ASSERT_TRUE(WIFEXITED(status)) << rx.output();
  EXPECT_EQ(WEXITSTATUS(status), 0);
  EXPECT_TRUE(rx.mode_restored());

  // The display probe's queries, which a terminal swallows, go out whenever the main
  // thread gets there, between the tuner thread's lines; they are no line of their own.
  std::string text = rx.output();
  const std::string queries = probe_query_text(false);
  if (const size_t at = text.find(queries); at != std::string::npos) text.erase(at, queries.size());
  std::vector<std::string> lines = lines_of(text);
  ASSERT_GE(lines.size(), 9u) << rx.output();
  size_t i = 0;
  EXPECT_EQ(lines[i++], "Начало цикла");
  EXPECT_TRUE(std::regex_match(lines[i++], std::regex(R"(\d\d:\d\d:\d\d \d\d/\d\d/\d\d)")));
  EXPECT_EQ(lines[i++], "Входные устройства ");
  EXPECT_EQ(lines[i++], "");
  EXPECT_TRUE(lines[i++].starts_with("-1  "));
  while (i < lines.size() && std::regex_match(lines[i], std::regex(R"(\d+  .*)"))) ++i;
  ASSERT_LT(i + 3, lines.size());
  EXPECT_EQ(lines[i++], "");
  EXPECT_EQ(lines[i++], "Выходные устройства ");
  EXPECT_EQ(lines[i++], " ");
  EXPECT_TRUE(lines[i++].starts_with("-1  "));
  EXPECT_EQ(lines.back(), "Окончание цикла");
}

TEST(Receiver, CtrlCIsReportedAndShutdownSignalEndsCleanly) {
  PtyProcess rx(program, {}, environment);
  ASSERT_TRUE(rx.started());
  ASSERT_TRUE(wait_for_key_loop(rx)) << rx.output();
  // Ctrl+C typed at the terminal arrives as a control event and is consumed.
  rx.send("\x03");
  ASSERT_TRUE(rx.wait_for("dwCtrlType = 0\n", 10s)) << rx.output();
  kill(rx.pid(), SIGQUIT);
  ASSERT_TRUE(rx.wait_for("dwCtrlType = 1\n", 10s)) << rx.output();
  EXPECT_EQ(rx.wait_exit(100ms), -1);  // still running
  kill(rx.pid(), SIGTERM);
  int status = rx.wait_exit(10s);
  ASSERT_TRUE(WIFEXITED(status)) << rx.output();
  EXPECT_EQ(WEXITSTATUS(status), 0);
  EXPECT_NE(rx.output().find("Окончание цикла HandlerRoutine\n"), std::string::npos);
  EXPECT_TRUE(rx.mode_restored());
}

TEST(Receiver, PipedKeysAndUnattendedRunUntilCloseSignal) {
  // Keys from a pipe decode the same; the end of input leaves the receiver running.
  PtyProcess rx(program, {}, environment, true);
  ASSERT_TRUE(rx.started());
  rx.send("t\x1b[5~T");
  rx.close_input();
  ASSERT_TRUE(rx.wait_for("Top 0", 20s)) << rx.output();
  EXPECT_EQ(rx.wait_exit(200ms), -1);
  kill(rx.pid(), SIGHUP);
  int status = rx.wait_exit(10s);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
  EXPECT_NE(rx.output().find("Окончание цикла HandlerRoutine\n"), std::string::npos);

  // An Esc at the very end of piped input still ends the receiver.
  PtyProcess esc(program, {}, environment, true);
  esc.send("\x1b");
  esc.close_input();
  status = esc.wait_exit(20s);
  ASSERT_TRUE(WIFEXITED(status)) << esc.output();
  EXPECT_EQ(WEXITSTATUS(status), 0);
  EXPECT_NE(esc.output().find("Окончание цикла\n"), std::string::npos);
}

TEST(Receiver, FatalSignalStillRestoresTheTerminal) {
  PtyProcess rx(program, {}, environment);
  ASSERT_TRUE(rx.started());
  ASSERT_TRUE(wait_for_key_loop(rx)) << rx.output();
  kill(rx.pid(), SIGABRT);
  int status = rx.wait_exit(10s);
  ASSERT_TRUE(WIFSIGNALED(status)) << rx.output();
  EXPECT_EQ(WTERMSIG(status), SIGABRT);
  EXPECT_TRUE(rx.mode_restored());
}

TEST(Receiver, HelpAndVersionEndAtOnceWithoutStartingAnything) {
  for (const char* flag : {"--help", "-h", "--version"}) {
    PtyProcess rx(program, {"145725000", flag}, environment);
    ASSERT_TRUE(rx.started());
    int status = rx.wait_exit(10s);
    ASSERT_TRUE(WIFEXITED(status)) << flag << rx.output();
    EXPECT_EQ(WEXITSTATUS(status), 0) << flag;
    EXPECT_TRUE(rx.output().starts_with(flag == std::string("--version") ? "rxiq12 " : "usage: rxiq12"))
        << rx.output();
    // No banner, no device lists, no dongle messages, terminal untouched.
    EXPECT_EQ(rx.output().find("Начало цикла"), std::string::npos) << rx.output();
    EXPECT_EQ(rx.output().find("devices"), std::string::npos) << rx.output();
    EXPECT_TRUE(rx.mode_restored());
  }
}

TEST(Receiver, RussianMessagesReadInUtf8WithoutALocale) {
  // LANG unset and the C locale, as in many containers and services.
  PtyProcess rx(program, {}, {"LANG=", "LC_ALL=C", "LC_CTYPE=C"}, true);
  ASSERT_TRUE(rx.started());
  rx.send("\x1b");
  rx.close_input();
  const int status = rx.wait_exit(20s);
  ASSERT_TRUE(WIFEXITED(status)) << rx.output();
  EXPECT_EQ(rx.output().rfind("Начало цикла\n", 0), 0u) << rx.output();
  EXPECT_NE(rx.output().find("Окончание цикла\n"), std::string::npos);
}

TEST(Receiver, CtrlZGivesTheShellANormalTerminalAndFgMakesItRawAgain) {
  PtyProcess rx(program, {}, environment);
  ASSERT_TRUE(rx.started());
  ASSERT_TRUE(wait_for_key_loop(rx)) << rx.output();
  for (int attempt = 1; attempt <= 5; ++attempt) {
    kill(rx.pid(), SIGTSTP);
    ASSERT_TRUE(rx.wait_stopped(10s)) << "attempt " << attempt;
    EXPECT_TRUE(rx.mode_restored()) << "attempt " << attempt;
    rx.reset_mode();  // what the shell does while the job is stopped
    kill(rx.pid(), SIGCONT);
    ASSERT_TRUE(wait_raw(rx)) << "attempt " << attempt;
    rx.send("t");
    const std::string top = "Top " + std::to_string(attempt % 2);
    ASSERT_TRUE(rx.wait_for(top + "      \n", 10s)) << "attempt " << attempt << rx.output();
  }
  rx.send("\x1b");
  const int status = rx.wait_exit(10s);
  ASSERT_TRUE(WIFEXITED(status)) << rx.output();
  EXPECT_EQ(WEXITSTATUS(status), 0);
  EXPECT_TRUE(rx.mode_restored());
}

TEST(Receiver, CtrlZTakesThePictureAwayAndFgBringsItBack) {
  PtyProcess rx(program, {}, sim_with_blocks);
  ASSERT_TRUE(rx.started());
  ASSERT_TRUE(wait_for_key_loop(rx)) << rx.output();
  const std::string half_block = "\xe2\x96\x80";
  const std::string whole_screen_scrolls = "\x1b[r";
  rx.send("v");
  ASSERT_TRUE(rx.wait_for(half_block, 20s));

  kill(rx.pid(), SIGTSTP);
  ASSERT_TRUE(rx.wait_stopped(10s));
  const size_t stopped_at = rx.output().size();
  const size_t reset = rx.output().rfind(whole_screen_scrolls);
  ASSERT_NE(reset, std::string::npos) << "the scroll region is given back";
  EXPECT_EQ(rx.output().find(half_block, reset), std::string::npos) << "no picture after that";
  EXPECT_TRUE(rx.mode_restored());

  kill(rx.pid(), SIGCONT);
  ASSERT_TRUE(wait_raw(rx));
  auto deadline = std::chrono::steady_clock::now() + 20s;
  while (rx.output().find(half_block, stopped_at) == std::string::npos &&
         std::chrono::steady_clock::now() < deadline) {
    rx.wait_for("\x01", 20ms);
  }
  EXPECT_NE(rx.output().find(half_block, stopped_at), std::string::npos) << "the picture is back";

  rx.send("\x1b");
  const int status = rx.wait_exit(10s);
  ASSERT_TRUE(WIFEXITED(status));
  EXPECT_EQ(WEXITSTATUS(status), 0);
  EXPECT_TRUE(rx.mode_restored());
}

TEST(Receiver, ShutdownSignalWithThePictureOnEndsItFirst) {
  for (int signal_number : {SIGTERM, SIGHUP}) {
    PtyProcess rx(program, {}, sim_with_blocks);
    ASSERT_TRUE(rx.started());
    ASSERT_TRUE(wait_for_key_loop(rx)) << rx.output();
    rx.send("v");
    ASSERT_TRUE(rx.wait_for("\xe2\x96\x80", 20s));
    kill(rx.pid(), signal_number);
    const int status = rx.wait_exit(20s);
    ASSERT_TRUE(WIFEXITED(status)) << rx.output();
    EXPECT_EQ(WEXITSTATUS(status), 0) << "signal " << signal_number;
    const std::string& out = rx.output();
    const size_t end = out.find("Окончание цикла HandlerRoutine\n");
    ASSERT_NE(end, std::string::npos);
    EXPECT_NE(out.rfind("\x1b[r", end), std::string::npos) << "the picture ended before";
    EXPECT_TRUE(rx.mode_restored());
  }
}

namespace {

// The port a receiver started with --rigctl 127.0.0.1:0 says it listens on, or 0.
uint16_t control_port_of(PtyProcess& rx) {
  const std::string opening = "rigctl: control port on 127.0.0.1:";
  if (!rx.wait_for(" (Hamlib NET rigctl)", 20s)) return 0;
  const size_t at = rx.output().find(opening);
  return at == std::string::npos ? 0 : static_cast<uint16_t>(std::atoi(rx.output().c_str() + at + opening.size()));
}

// What the control port answers to f. Returns once the receiver has said the client
// left, so that no console line of the port lands in what the test looks at next.
std::string frequency_read_back(PtyProcess& rx, uint16_t port) {
  std::string answer;
  uint16_t client_port = 0;
  {
    TcpClient client(port);
    client_port = client.local_port();
    if (client.send("f\n") && client.read_until("\n")) answer = client.received();
  }
  rx.wait_for("rigctl: client 127.0.0.1:" + std::to_string(client_port) + " left\n", 10s);
  return answer;
}

}  // namespace

TEST(Receiver, KeyFTakesATypedFrequencyAndEscOnlyClosesThePrompt) {
  std::vector<std::string> env = environment;
  env.push_back("RXIQ_DONGLE=sim");
  PtyProcess rx(program, {"--rigctl", "127.0.0.1:0"}, env);
  ASSERT_TRUE(rx.started());
  const uint16_t port = control_port_of(rx);
  ASSERT_NE(port, 0) << rx.output();
  ASSERT_TRUE(wait_for_key_loop(rx)) << rx.output();
  // The tuner's first pass sets the top gain and says so; the prompt lines come after it.
  ASSERT_TRUE(rx.wait_for("Set gain \n49.60\n", 30s)) << rx.output();

  // Typed as a person types: a slip taken back with Backspace, the suffix in lower case.
  rx.send("f1455\x7f.73m\r");
  ASSERT_TRUE(rx.wait_for("Tuning to 145730000 Hz\n", 10s)) << rx.output();
  EXPECT_NE(rx.output().find("Frequency (Hz, or with k, M or G): 1455\b \b.73M\n"), std::string::npos)
      << rx.output();
  EXPECT_EQ(frequency_read_back(rx, port), "145730000\n") << "the same as the control port's F";

  rx.send("F1.2.3\r");
  ASSERT_TRUE(rx.wait_for("Not tuned: '1.2.3' is not a frequency", 10s)) << rx.output();
  rx.send("F10M\r");
  ASSERT_TRUE(rx.wait_for("Not tuned: 10000000 Hz is outside the tuner's range, 24000000 to 1766000000 Hz",
                          10s))
      << rx.output();
  // Esc closes the prompt and nothing else: T afterwards is the top flag again.
  rx.send("F\x1b");
  ASSERT_TRUE(rx.wait_for("G): \n", 10s)) << rx.output();
  rx.send("T");
  ASSERT_TRUE(rx.wait_for("Top 1", 10s)) << rx.output();
  rx.send("F\r");  // an empty line cancels too
  EXPECT_EQ(frequency_read_back(rx, port), "145730000\n") << "nothing refused or cancelled was tuned";
  // Inside the prompt M was mega, not the AGC key.
  EXPECT_EQ(rx.output().find("offset_tuning = 1"), std::string::npos);

  // Esc quits with a program still connected to the port, and closes its connection.
  TcpClient tracker(port);
  ASSERT_TRUE(tracker.send("f\n"));
  ASSERT_TRUE(tracker.read_until("\n"));
  rx.send("\x1b");
  const int status = rx.wait_exit(10s);
  ASSERT_TRUE(WIFEXITED(status)) << rx.output();
  EXPECT_EQ(WEXITSTATUS(status), 0);
  EXPECT_TRUE(rx.mode_restored());
  EXPECT_TRUE(tracker.wait_closed());
}

TEST(Receiver, AControlPortInUseIsReportedAndTheReceiverRunsOn) {
  LoopbackListener taken;
  ASSERT_NE(taken.port(), 0);
  const std::string where = "127.0.0.1:" + std::to_string(taken.port());
  std::vector<std::string> env = environment;
  env.push_back("RXIQ_DONGLE=sim");
  PtyProcess rx(program, {"--rigctl", where, "145800000"}, env);
  ASSERT_TRUE(rx.started());
  ASSERT_TRUE(rx.wait_for("rigctl: cannot listen on " + where + ": ", 20s)) << rx.output();
  ASSERT_TRUE(wait_for_key_loop(rx)) << rx.output();
  ASSERT_TRUE(rx.wait_for("Tuned to 145800000", 20s)) << rx.output();
  rx.send("\x1b");
  const int status = rx.wait_exit(10s);
  ASSERT_TRUE(WIFEXITED(status)) << rx.output();
  EXPECT_EQ(WEXITSTATUS(status), 0);

  PtyProcess bad(program, {"--rigctl=nowhere"}, environment);
  const int bad_status = bad.wait_exit(10s);
  ASSERT_TRUE(WIFEXITED(bad_status));
  EXPECT_EQ(WEXITSTATUS(bad_status), 2);
  EXPECT_NE(bad.output().find("rxiq12: --rigctl takes [ADDRESS:]PORT, not 'nowhere'"), std::string::npos)
      << bad.output();
}

TEST(Receiver, ListeningChannelsStartUpLinesAndARefusedOffset) {
  std::vector<std::string> env = environment;
  env.push_back("RXIQ_DONGLE=sim");
  PtyProcess rx(program, {"--listen", "usb@15000", "145800000", "--squelch=-118"}, env);
  ASSERT_TRUE(rx.started());
  // Both on the default device: the listening channel has it.
  ASSERT_TRUE(rx.wait_for("Listening: USB at 15000 Hz on output device -1\n"
                          "Baseband not played: the listening channel has output device -1\n",
                          20s))
      << rx.output();
  ASSERT_TRUE(wait_for_key_loop(rx)) << rx.output();
  rx.send("\x1b[B\x1b");  // Down, as a terminal sends it, then Esc
  ASSERT_TRUE(rx.wait_for("Squelch -120.0 dB\n", 10s)) << rx.output();
  const int status = rx.wait_exit(10s);
  ASSERT_TRUE(WIFEXITED(status)) << rx.output();
  EXPECT_EQ(WEXITSTATUS(status), 0);

  PtyProcess far(program, {"145800000", "--listen", "fm@20000"}, environment);
  const int far_status = far.wait_exit(10s);
  ASSERT_TRUE(WIFEXITED(far_status));
  EXPECT_EQ(WEXITSTATUS(far_status), 2);
  EXPECT_TRUE(far.output().starts_with("rxiq12: --listen fm@20000: the offset 20000 Hz is outside what fm can "
                                       "take from the baseband in rxiq12 (at most 11200 Hz either side) (see "
                                       "rxiq12 --help)"))
      << far.output() << " and nothing started";
}

namespace {

const std::vector<std::string> sim_environment = [] {
  std::vector<std::string> env = environment;
  env.push_back("RXIQ_DONGLE=sim");
  return env;
}();

// Reads the program's output until the folder's newest recording holds at least `bytes`
// bytes of samples; returns its path without extension ("" if it never does).
std::string wait_for_recorded(PtyProcess& rx, const std::string& folder, size_t count, uintmax_t bytes) {
  auto deadline = std::chrono::steady_clock::now() + 20s;
  while (std::chrono::steady_clock::now() < deadline) {
    const std::vector<std::string> made = recordings_in(folder);
    std::error_code error;
    if (made.size() == count && std::filesystem::file_size(made.back() + ".sigmf-data", error) >= bytes) {
      return made.back();
    }
    rx.wait_for("\x01", 10ms);
  }
  return "";
}

const std::string recorder_line = std::string("rxiq12 ") + rxiq_version;

}  // namespace

// Killed mid-recording, the program leaves a recording that reads back: the metadata
// written at the start parses, and the data holds whole blocks of what was written.
// Stopped by SIGTERM, it closes the recording first and says so.
TEST(Receiver, ARecordingSurvivesAKillAndIsClosedOnTerm) {
  for (const int signal : {SIGKILL, SIGTERM}) {
    TemporaryFolder folder;
    PtyProcess rx(program, {"--record", folder.path}, sim_environment, true);
    ASSERT_TRUE(rx.wait_for("Recording the baseband to " + folder.path + "/rxiq-", 20s)) << rx.output();
    const std::string base = wait_for_recorded(rx, folder.path, 1, 2 * 20480);
    ASSERT_FALSE(base.empty()) << rx.output();
    kill(rx.pid(), signal);
    rx.wait_exit(10s);
    EXPECT_EQ(read_bytes(base + ".sigmf-data").size() % 20480, 0u) << signal;
    EXPECT_EQ(sigmf_fields(base), "ci16_le\n48000\n1.0.0\n" + recorder_line + "\n0 145725000\ndatetime 0\n")
        << signal;
    if (signal == SIGTERM) {
      const uintmax_t bytes = std::filesystem::file_size(base + ".sigmf-data");
      EXPECT_NE(rx.output().find("Recording stopped: " + base + ".sigmf-data, "), std::string::npos) << rx.output();
      EXPECT_NE(rx.output().find(" s, " + std::to_string(bytes) + " bytes\n"), std::string::npos) << rx.output();
    }
  }
}

// R stops the recording --record started and starts another; Esc closes that one, and
// the program says where each went and how long it is.
TEST(Receiver, KeyRStopsAndStartsAndEscClosesTheRecording) {
  TemporaryFolder folder;
  PtyProcess rx(program, {"--record-raw", "--record=" + folder.path}, sim_environment, true);
  ASSERT_TRUE(rx.wait_for("Recording the dongle's stream to " + folder.path + "/rxiq-", 20s)) << rx.output();
  ASSERT_FALSE(wait_for_recorded(rx, folder.path, 1, 65536).empty()) << rx.output();
  rx.send("r");
  ASSERT_TRUE(rx.wait_for(" bytes\n", 20s)) << rx.output();
  rx.send("r");
  ASSERT_FALSE(wait_for_recorded(rx, folder.path, 2, 65536).empty()) << rx.output();
  rx.send("\x1b");
  const int status = rx.wait_exit(20s);
  ASSERT_TRUE(WIFEXITED(status)) << rx.output();
  EXPECT_EQ(WEXITSTATUS(status), 0);
  const std::vector<std::string> made = recordings_in(folder.path);
  ASSERT_EQ(made.size(), 2u);
  for (const std::string& base : made) {
    const uintmax_t bytes = std::filesystem::file_size(base + ".sigmf-data");
    EXPECT_EQ(bytes % 65536, 0u);
    EXPECT_EQ(sigmf_fields(base), "cu8\n1200000\n1.0.0\n" + recorder_line + "\n0 145725000\ndatetime 0\n");
    EXPECT_NE(rx.output().find(base + ".sigmf-data, "), std::string::npos);
    EXPECT_NE(rx.output().find(" s, " + std::to_string(bytes) + " bytes\n"), std::string::npos) << rx.output();
  }
}

TEST(Receiver, TheFarewellIsTheLastLineEvenWhileAServerStalls) {
  // A server that takes the connection and never sends its header: the tuner thread is
  // still waiting for it when Esc comes.
  LoopbackListener stalled;
  ASSERT_NE(stalled.port(), 0);
  std::vector<std::string> env = environment;
  env.push_back("RXIQ_DONGLE=tcp:127.0.0.1:" + std::to_string(stalled.port()));
  PtyProcess rx(program, {}, env);
  ASSERT_TRUE(rx.started());
  ASSERT_TRUE(wait_for_key_loop(rx)) << rx.output();
  rx.send("\x1b");
  const int status = rx.wait_exit(10s);
  ASSERT_TRUE(WIFEXITED(status)) << rx.output();
  EXPECT_EQ(WEXITSTATUS(status), 0);
  EXPECT_TRUE(rx.output().ends_with("Окончание цикла\n")) << rx.output();
}
