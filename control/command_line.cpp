#include "control/command_line.h"

#include <cstdlib>

#include "core/rx_state.h"

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
