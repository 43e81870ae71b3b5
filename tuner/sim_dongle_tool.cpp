// rxiq-sim: the simulated dongle's read loop alone, configured and paced as the receiver
// uses it, so that the simulator's own share of a measured run can be told apart.
//   rxiq-sim [samples-per-second [seconds]]     (defaults: 2400000 and 20)
#include <cstdio>
#include <cstdlib>
#include <vector>

#include "tuner/rtl_tcp_server.h"
#include "tuner/sim_dongle.h"
#include "tuner/tuner_thread.h"

int main(int argc, char** argv) {
  if (rtl_tcp_server_asked(argc, argv)) return rtl_tcp_server_main(argc, argv);
  const long rate = argc > 1 ? std::atol(argv[1]) : 2400000;
  const long seconds = argc > 2 ? std::atol(argv[2]) : 20;
  DongleChoice choice;
  choice.kind = DongleKind::sim;
  SimDongle sim(choice, true);
  Dongle* dev = nullptr;
  sim.open(&dev, 0);
  sim.set_tuner_gain_mode(dev, 1);
  sim.set_tuner_gain(dev, sim_r820t_gains.back());
  sim.set_agc_mode(dev, 0);
  sim.set_center_freq(dev, 145725000);
  if (rate <= 0 || sim.set_sample_rate(dev, static_cast<uint32_t>(rate)) < 0) {
    std::fprintf(stderr, "rxiq-sim: sample rate %ld is not accepted\n", rate);
    return 2;
  }
  sim.reset_buffer(dev);
  sim.set_freq_correction(dev, sim_crystal_error_ppm);
  std::vector<uint8_t> block(read_block_bytes);
  const long long reads = static_cast<long long>(rate) * 2 * seconds / read_block_bytes;
  int n_read = 0;
  for (long long i = 0; i < reads; ++i) sim.read_sync(dev, block.data(), read_block_bytes, &n_read);
  sim.close(dev);
  return 0;
}
