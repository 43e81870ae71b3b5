// rxiq-sim: the simulated dongle as a capture tool. Writes its unsigned 8-bit interleaved
// I/Q, set up as the receiver sets it up (highest gain, 48 ppm correction), to a file or
// to standard output:
//   rxiq-sim [-f frequency-Hz] [-s samples-per-second] [-n samples] [-r] FILE|-
//   rxiq-sim --tcp [ADDRESS:]PORT [--file PATH[,...]]   (serves it, or a recording, over rtl_tcp)
// Without -r the samples come as fast as they can be written, so a pipeline runs at the
// speed of its slowest stage; -r paces them as the dongle would deliver them, which is
// what the receiver sees and what scripts/measure times.
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <string_view>
#include <unistd.h>
#include <vector>

#include "simulator/rtl_tcp_server.h"
#include "simulator/sim_dongle.h"
#include "tuner/tuner_thread.h"
#include "variants/variant.h"

namespace {

void print_usage(FILE* out) {
  std::fprintf(out,
               "usage: rxiq-sim [-f frequency-Hz] [-s samples-per-second] [-n samples] [-r] FILE|-\n"
               "       rxiq-sim --tcp [ADDRESS:]PORT [--file PATH[,rate=N][,freq=HZ][,loop]]\n"
               "       rxiq-sim -h | --help | --version\n"
               "Writes the simulated RTL2832U's unsigned 8-bit interleaved I/Q (I byte first) to FILE,\n"
               "or to standard output for -. Defaults: -f %d, -s %d, -n 0 (no end).\n"
               "-r delivers the samples in real time, as the dongle would.\n"
               "--tcp serves them, or with --file a recording, over rtl_tcp (default 127.0.0.1:1234).\n",
               initial_frequency, rxiq12_variant.sample_rate);
}

struct SimCapture {
  uint32_t frequency = initial_frequency;
  uint32_t rate = rxiq12_variant.sample_rate;
  int64_t samples = 0;  // 0: until the reader goes away
  bool real_time = false;
  const char* path = nullptr;
};

// A whole decimal number in [low, high], or false.
bool read_number(const char* text, long long low, long long high, long long& value) {
  char* end = nullptr;
  errno = 0;
  value = std::strtoll(text, &end, 10);
  return end != text && *end == '\0' && errno == 0 && value >= low && value <= high;
}

int usage_error(const char* message, const char* argument) {
  std::fprintf(stderr, "rxiq-sim: %s '%s'\n", message, argument);
  print_usage(stderr);
  return 2;
}

// Fills capture from the command line. Returns -1 to go on, or the exit status when the
// line has been answered (usage, version) or refused.
int parse_sim_capture(int argc, char** argv, SimCapture& capture) {
  for (int a = 1; a < argc; ++a) {
    const std::string_view arg = argv[a];
    if (arg == "-h" || arg == "--help") {
      print_usage(stdout);
      return 0;
    }
    if (arg == "--version") {
      std::printf("rxiq-sim %s\n", rxiq_version);
      return 0;
    }
    if (arg == "-r") {
      capture.real_time = true;
    } else if (arg == "-f" || arg == "-s" || arg == "-n") {
      if (a + 1 >= argc) return usage_error("missing value for", argv[a]);
      const char* value_text = argv[++a];
      long long value = 0;
      const long long high = arg == "-n" ? INT64_MAX / 2 : UINT32_MAX;
      if (!read_number(value_text, arg == "-n" ? 0 : 1, high, value)) {
        return usage_error("invalid number", value_text);
      }
      if (arg == "-f") capture.frequency = static_cast<uint32_t>(value);
      if (arg == "-s") capture.rate = static_cast<uint32_t>(value);
      if (arg == "-n") capture.samples = value;
    } else if (arg == "-" || !arg.starts_with("-")) {
      if (capture.path) return usage_error("more than one output", argv[a]);
      capture.path = argv[a];
    } else {
      return usage_error("unknown argument", argv[a]);
    }
  }
  if (!capture.path) {
    std::fputs("rxiq-sim: no output file (- for standard output)\n", stderr);
    print_usage(stderr);
    return 2;
  }
  return -1;
}

bool write_all(int fd, const uint8_t* bytes, size_t length) {
  while (length > 0) {
    const ssize_t n = ::write(fd, bytes, length);
    if (n < 0) {
      if (errno == EINTR) continue;
      return false;
    }
    bytes += n;
    length -= static_cast<size_t>(n);
  }
  return true;
}

int run_sim_capture(const SimCapture& capture) {
  SimDongle sim(sim_dongle_choice(), capture.real_time);
  Dongle* dev = nullptr;
  sim.open(&dev, 0);
  sim.set_tuner_gain_mode(dev, 1);
  sim.set_tuner_gain(dev, sim_r820t_gains.back());
  sim.set_agc_mode(dev, 0);
  // A frequency the tuner cannot lock is refused here, though the driver would stream
  // noise: a capture of nothing is never what was wanted.
  if (sim.set_center_freq(dev, capture.frequency) < 0 || !sim.pll_locked) {
    std::fprintf(stderr, "rxiq-sim: frequency %u is not accepted\n", capture.frequency);
    return 2;
  }
  if (sim.set_sample_rate(dev, capture.rate) < 0) {
    std::fprintf(stderr, "rxiq-sim: sample rate %u is not accepted\n", capture.rate);
    return 2;
  }
  sim.reset_buffer(dev);
  // The receiver's default correction, which cancels the simulated crystal's error.
  sim.set_freq_correction(dev, sim_crystal_error_ppm);

  const bool to_stdout = std::strcmp(capture.path, "-") == 0;
  const int fd = to_stdout ? STDOUT_FILENO : ::open(capture.path, O_WRONLY | O_CREAT | O_TRUNC, 0666);
  if (fd < 0) {
    std::fprintf(stderr, "rxiq-sim: %s: %s\n", capture.path, std::strerror(errno));
    return 1;
  }
  // A reader that goes away (the end of a pipeline) must show up as EPIPE, not a signal.
  std::signal(SIGPIPE, SIG_IGN);

  std::vector<uint8_t> block(read_block_bytes);
  int64_t bytes_left = capture.samples * 2;
  int status = 0;
  while (capture.samples == 0 || bytes_left > 0) {
    const int length =
        capture.samples == 0 || bytes_left >= read_block_bytes ? read_block_bytes : static_cast<int>(bytes_left);
    int n_read = 0;
    sim.read_sync(dev, block.data(), length, &n_read);
    if (!write_all(fd, block.data(), static_cast<size_t>(length))) {
      if (errno != EPIPE) {
        std::fprintf(stderr, "rxiq-sim: error writing %s: %s\n", to_stdout ? "standard output" : capture.path,
                     std::strerror(errno));
        status = 1;
      }
      break;
    }
    bytes_left -= length;
  }
  if (!to_stdout && ::close(fd) != 0 && status == 0) {
    std::fprintf(stderr, "rxiq-sim: error writing %s: %s\n", capture.path, std::strerror(errno));
    status = 1;
  }
  sim.close(dev);
  return status;
}

}  // namespace

int main(int argc, char** argv) {
  if (rtl_tcp_server_asked(argc, argv)) return rtl_tcp_server_main(argc, argv);
  SimCapture capture;
  if (const int status = parse_sim_capture(argc, argv, capture); status >= 0) return status;
  return run_sim_capture(capture);
}
