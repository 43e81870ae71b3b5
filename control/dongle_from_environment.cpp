#include <cstdlib>
#include <memory>

#include "control/receiver.h"
#include "core/print_console.h"
#include "simulator/sim_dongle.h"
#include "tuner/file_dongle.h"
#include "tuner/rtl_tcp_dongle.h"
#include "tuner/rtlsdr_dongle.h"

std::unique_ptr<DongleApi> dongle_from_environment() {
  const char* text = std::getenv("RXIQ_DONGLE");
  DongleChoice choice;
  if (!parse_dongle_choice(text, choice)) {
    print_console("RXIQ_DONGLE=%s is not understood; using librtlsdr\n", text);
  }
  if (choice.kind == DongleKind::sim) return std::make_unique<SimDongle>(choice, true);
  if (choice.kind == DongleKind::file) return std::make_unique<FileDongle>(choice, true);
  if (choice.kind == DongleKind::tcp) return std::make_unique<RtlTcpDongle>(choice);
  return std::make_unique<RtlsdrDongle>();
}
