#include "control/command_line.h"

#include <cstdlib>
#include <cstring>

#include "core/rx_state.h"
#include "variants/variant.h"

int32_t parse_integer(const char* text) {
  // long long: 64 bits everywhere (long is 32 on Windows and would saturate instead).
  long long value = std::strtoll(text, nullptr, 10);
  return static_cast<int32_t>(static_cast<uint32_t>(static_cast<unsigned long long>(value)));
}

void parse_command_line(RxState& state, int argc, char** argv) {
  std::atomic<int32_t>* fields[] = {&state.frequency, &state.out_device, &state.ppm_error,
                                    &state.dev_index};
  for (int i = 1; i < argc && i <= 4; ++i) fields[i - 1]->store(parse_integer(argv[i]));
}

bool answer_help_or_version(const Variant& variant, int argc, char** argv, FILE* out) {
  for (int i = 1; i < argc; ++i) {
    const char* a = argv[i];
    if (std::strcmp(a, "--version") == 0) {
      std::fprintf(out, "%s %s\n", variant.program_name, rxiq_version);
      return true;
    }
    if (std::strcmp(a, "-h") == 0 || std::strcmp(a, "--help") == 0) {
      std::fprintf(out,
                   "usage: %s [frequency-Hz [output-device [ppm [dongle-index]]]]\n"
                   "       %s -h | --help | --version\n"
                   "Tunes an RTL2832U dongle at %d samples/s and plays its baseband as %d frames/s\n"
                   "16-bit stereo (I left, Q right) on an audio output device.\n"
                   "Defaults: %d Hz, output device -1 (the default), %d ppm, dongle 0.\n"
                   "Keys: Left/Right retune by 50 Hz, Home/End gain, N gain mode, M AGC,\n"
                   "PgUp/PgDn level line, T top flag, V spectrum display, Esc quits.\n"
                   "Environment: RXIQ_DONGLE=sim (simulated dongle), RXIQ_DISPLAY=kitty|sixel|blocks.\n"
                   "See man %s.\n",
                   variant.program_name, variant.program_name, variant.sample_rate,
                   variant.frame_rate, initial_frequency, initial_ppm_error, variant.program_name);
      return true;
    }
  }
  return false;
}
