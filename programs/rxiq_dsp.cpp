// rxiq-dsp: the receiver's signal chain on recorded samples. Reads raw unsigned 8-bit
// interleaved I/Q from standard input and writes every finished 5,120-frame block to
// standard output as 16-bit little-endian stereo PCM (I left, Q right), byte for byte
// what the receiver would queue for audio for the same input. With --listen it writes
// the listening channel's audio instead, as 16-bit little-endian mono.
#include <bit>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <string_view>
#include <unistd.h>

#include "core/listen_mode.h"
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
    "usage: rxiq-dsp [--listen MODE[@OFFSET] [--squelch DB|off] [--deemphasis US]]\n"
    "                < samples.u8 > audio.s16\n"
    "       rxiq-dsp -h | --help | --version\n"
    "Runs the receiver's signal chain on raw unsigned 8-bit interleaved I/Q samples\n"
    "from standard input (1,200,000 samples/s, as rxiq12 reads them) and writes 16-bit\n"
    "little-endian stereo PCM (I left, Q right) to standard output, one 5,120-frame\n"
    "block at a time.\n"
    "  --listen MODE[@OFFSET]  write the listening channel's audio instead: 16-bit\n"
    "                          little-endian mono at 48,000 samples/s; MODE fm, wfm,\n"
    "                          am, usb or lsb, OFFSET Hz from the centre (default 0)\n"
    "  --squelch DB|off        mute it while its level is below DB relative to full\n"
    "                          scale (-120 to 0; default off)\n"
    "  --deemphasis US         750: narrow FM's voice de-emphasis; 50 or 75: wide FM's\n"
    "                          (default 50); 0: both flat (narrow FM's default)\n";

struct Output {
  RxState* state;
  int error = 0;  // errno of a failed write
  bool reader_gone = false;  // it failed because the reader closed the pipe
  int16_t mono[listen_block_frames] = {};  // one listening block's left channel
};

// A failed write stops the chain at its next sample.
bool write_all(Output& output, const void* data, size_t length) {
  const char* bytes = static_cast<const char*>(data);
  size_t done = 0;
  while (done < length) {
    const ssize_t n = ::write(STDOUT_FILENO, bytes + done, length - done);
    if (n < 0) {
      if (errno == EINTR) continue;
      output.error = errno;
      output.reader_gone = write_found_pipe_closed(output.error);
      output.state->running.store(0, std::memory_order_relaxed);
      return false;
    }
    done += static_cast<size_t>(n);
  }
  return true;
}

// The chain's sink.
int write_block(void* context, const void* data, int length) {
  return write_all(*static_cast<Output*>(context), data, static_cast<size_t>(length)) ? 1 : 0;
}

// The listening channel's sink: its blocks carry the mono audio on both channels, of
// which the left one is written.
int write_mono(void* context, const void* data, int length) {
  Output& output = *static_cast<Output*>(context);
  const auto* frames = static_cast<const int16_t*>(data);
  const int count = length / 4 < listen_block_frames ? length / 4 : listen_block_frames;
  for (int k = 0; k < count; ++k) output.mono[k] = frames[2 * k];
  return write_all(output, output.mono, static_cast<size_t>(count) * 2) ? 1 : 0;
}

// The listening channel's settings from the command line.
struct ListenOptions {
  ListenChoice listen;
  int32_t squelch = squelch_off;
  int32_t fm_deemphasis_us = fm_deemphasis_default_us;
  int32_t wfm_deemphasis_us = wfm_deemphasis_default_us;
};

// Reads the value of --listen, --squelch or --deemphasis (named by flag); false with the
// reason in error.
bool read_option(std::string_view flag, const char* value, ListenOptions& options, std::string& error) {
  const std::string name(flag);
  if (value == nullptr) {
    error = name + " needs a value: " +
            (flag == "--listen" ? "MODE[@OFFSET]" : flag == "--squelch" ? "DB or off" : "US");
    return false;
  }
  if (flag == "--listen") {
    std::string reason;
    if (!parse_listen_choice(value, options.listen, reason)) {
      error = name + " takes MODE[@OFFSET]: " + reason;
      return false;
    }
    if (!listen_choice_fits(rxiq12_variant, options.listen, reason)) {
      error = name + " " + value + ": " + reason;
      return false;
    }
    return true;
  }
  if (flag == "--squelch") {
    if (parse_squelch_text(value, options.squelch)) return true;
    error = name + " takes a level from -120 to 0 dB (say -60) or off, not '" + value + "'";
    return false;
  }
  if (apply_deemphasis_text(value, options.fm_deemphasis_us, options.wfm_deemphasis_us)) return true;
  error = name + " takes 0, 50, 75 or 750 (microseconds), not '" + value + "'";
  return false;
}

// The option argv[a] names ("--listen", "--listen=fm", ...), or empty; value_inline
// set when its value follows '='.
std::string_view option_of(const char* arg, bool& value_inline) {
  const std::string_view a = arg;
  for (std::string_view flag : {"--listen", "--squelch", "--deemphasis"}) {
    if (a == flag || (a.starts_with(flag) && a.size() > flag.size() && a[flag.size()] == '=')) {
      value_inline = a.size() > flag.size();
      return flag;
    }
  }
  return {};
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
  ListenOptions options;
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
    bool value_inline = false;
    const std::string_view flag = option_of(argv[a], value_inline);
    std::string error = std::string("unknown argument '") + argv[a] + "'";
    if (!flag.empty()) {
      const char* value = value_inline ? argv[a] + flag.size() + 1 : (a + 1 < argc ? argv[++a] : nullptr);
      if (read_option(flag, value, options, error)) continue;
    }
    std::fprintf(stderr, "rxiq-dsp: %s\n", error.c_str());
    std::fputs(usage_text, stderr);
    return 2;
  }
  auto tool = std::make_unique<Tool>();
  fir_init_channel(tool->filter, rxiq12_variant);
  dsp_build_table(tool->dsp);
  listen_set_rates(tool->dsp.listen, rxiq12_variant.sample_rate, rxiq12_variant.frame_rate);
  RxState& state = tool->state;
  state.listen_mode.store(static_cast<int32_t>(options.listen.mode), std::memory_order_relaxed);
  state.listen_offset.store(options.listen.offset_hz, std::memory_order_relaxed);
  state.squelch.store(options.squelch, std::memory_order_relaxed);
  state.fm_deemphasis_us.store(options.fm_deemphasis_us, std::memory_order_relaxed);
  state.wfm_deemphasis_us.store(options.wfm_deemphasis_us, std::memory_order_relaxed);
  Output output{&state};
  const bool listening = options.listen.mode != ListenMode::off;
  // Listening, only the channel's audio goes out.
  const DspChain chain{state, tool->filter, tool->dsp, tool->spectrum,
                       listening ? BlockSink{} : BlockSink{write_block, &output},
                       listening ? BlockSink{write_mono, &output} : BlockSink{}};

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
