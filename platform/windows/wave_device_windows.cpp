#include "platform/wave_device.h"

namespace {

// Sound on Windows comes with winmm's wave devices; until then no device opens, and the
// receiver runs without sound as with any device that cannot be opened.
class NoWaveBackend final : public WaveBackend {
 public:
  std::unique_ptr<WaveDevice> open(WaveDirection, int, const WaveFormat&, int) override {
    return nullptr;
  }
};

}  // namespace

WaveBackend& system_wave_backend() {
  static NoWaveBackend backend;
  return backend;
}
