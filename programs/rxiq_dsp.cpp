// rxiq-dsp: the receiver's signal chain on recorded samples. Reads raw unsigned 8-bit
// interleaved I/Q from standard input and writes every finished 5,120-frame block to
// standard output as 16-bit little-endian stereo PCM (I left, Q right), byte for byte
// what the receiver would queue for audio for the same input.
#include <bit>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <unistd.h>

#include "core/rx_state.h"
#include "dsp/byte_feed.h"
#include "dsp/dsp_thread.h"
#include "dsp/fir_filter.h"
#include "dsp/fft_snapshot.h"
#include "sample_ring/sample_ring.h"
#include "platform/byte_streams.h"
#include "variants/variant.h"

static_assert(std::endian::native == std::endian::little, "PCM blocks are written in memory order");

namespace {

constexpr const char* usage_text =
    "usage: rxiq-dsp [-h | --version] < samples.u8 > audio.s16\n"
    "Runs the receiver's signal chain on raw unsigned 8-bit interleaved I/Q samples\n"
    "from standard input and writes 16-bit little-endian stereo PCM (I left, Q right)\n"
    "to standard output, one 5,120-frame block at a time.\n";

struct Output {
  RxState* state;
  int error = 0;  // errno of a failed write
  bool reader_gone = false;  // it failed because the reader closed the pipe
};

// The chain's sink: a failed write stops the chain at its next sample.
int write_block(void* context, const void* data, int length) {
  Output& output = *static_cast<Output*>(context);
  const char* bytes = static_cast<const char*>(data);
  size_t done = 0;
  while (done < static_cast<size_t>(length)) {
    const ssize_t n = ::write(STDOUT_FILENO, bytes + done, static_cast<size_t>(length) - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      output.error = errno;
      output.reader_gone = write_found_pipe_closed(output.error);
      output.state->running.store(0, std::memory_order_relaxed);
      return 0;
    }
    done += static_cast<size_t>(n);
  }
  return 1;
}

struct Tool {
  Tool() : state(rxiq12_variant) {}
  RxState state;
  FirFilter filter{};
  DspState dsp;
  SpectrumBuffer spectrum;
  uint8_t input[ring_slot_bytes + 1];  // one ring slot's worth, after a held odd byte
};

int fail(const char* what, int error) {
  std::fprintf(stderr, "rxiq-dsp: %s: %s\n", what, std::strerror(error));
  return 1;
}

}  // namespace

int main(int argc, char** argv) {
  // A closed pipe must show up as a failed write, not end the process.
  byte_streams_open();
  for (int a = 1; a < argc; ++a) {
    if (std::strcmp(argv[a], "-h") == 0 || std::strcmp(argv[a], "--help") == 0) {
      // The usage is output like any other: a write that fails is an error.
      errno = 0;
      if (std::fputs(usage_text, stdout) < 0 || std::fflush(stdout) != 0) {
        const int error = errno != 0 ? errno : EIO;
        if (write_found_pipe_closed(error)) return 0;
        return fail("error writing standard output", error);
      }
      return 0;
    }
    if (std::strcmp(argv[a], "--version") == 0) {
      std::printf("rxiq-dsp %s\n", rxiq_version);
      return 0;
    }
    std::fprintf(stderr, "rxiq-dsp: unknown argument '%s'\n", argv[a]);
    std::fputs(usage_text, stderr);
    return 2;
  }
  auto tool = std::make_unique<Tool>();
  fir_init_channel(tool->filter, rxiq12_variant);
  dsp_build_table(tool->dsp);
  Output output{&tool->state};
  const DspChain chain{tool->state, tool->filter, tool->dsp, tool->spectrum, BlockSink{write_block, &output}};

  // A read may end mid-pair; the feed keeps the odd byte for its partner.
  ByteFeed feed;
  for (;;) {
    const ssize_t n = ::read(STDIN_FILENO, tool->input, sizeof tool->input);
    if (n < 0) {
      if (errno == EINTR) continue;
      return fail("error reading standard input", errno);
    }
    if (n == 0) break;
    dsp_feed_bytes(chain, feed, tool->input, static_cast<size_t>(n));
    if (output.error != 0) break;
  }
  if (output.reader_gone) return 0;
  if (output.error != 0) return fail("error writing standard output", output.error);
  return 0;
}
