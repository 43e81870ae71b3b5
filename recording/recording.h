// Recorded I/Q, read back as the dongle's unsigned 8-bit pairs (I first, zero at 127.5).
// Three forms:
//   - raw unsigned 8-bit I/Q as rtl_sdr writes it (any name not below): rate and centre
//     frequency only from the options;
//   - SigMF: NAME.sigmf-meta (JSON) beside NAME.sigmf-data; the path may name either file
//     or NAME; datatype cu8, ci8, ci16_le or cf32_le, one channel;
//   - WAV (a file that begins with "RIFF"): two channels, I left and Q right, 8-bit
//     unsigned or 16-bit signed PCM; the centre frequency from an "auxi" chunk of at
//     least 36 bytes (two 16-byte times, then the frequency as a 32-bit little-endian).
// What the file says comes first; the options fill in what it does not say.
#pragma once

#include <cstdint>
#include <fstream>
#include <string>
#include <vector>

enum class SampleFormat { cu8, ci8, ci16_le, cf32_le };

const char* sample_format_name(SampleFormat format);
// Bytes of one I/Q pair.
int sample_pair_bytes(SampleFormat format);

struct RecordingOptions {
  uint32_t rate = 0;       // 0: not given
  uint32_t frequency = 0;  // 0: not given
};

struct RecordingInfo {
  std::string name;       // the file's name without its folder, for messages
  std::string form;       // "raw", "SigMF" or "WAV"
  std::string data_path;  // the file that holds the samples
  uint64_t data_offset = 0;
  uint64_t pairs = 0;  // I/Q pairs in the recording
  SampleFormat format = SampleFormat::cu8;
  uint32_t rate = 0;
  uint32_t frequency = 0;  // 0: unknown
};

// Works out what path holds and checks that its samples are there. On failure returns
// false with error set to one line naming the file and what is wrong.
bool open_recording(const std::string& path, const RecordingOptions& options, RecordingInfo& info,
                    std::string& error);

// Reads a recording's pairs in order, converted to unsigned bytes.
class RecordingReader {
 public:
  // False if the data file cannot be opened.
  bool open(const RecordingInfo& info);
  // Fills up to `pairs` pairs (2 bytes each) and returns how many it filled: fewer only
  // at the end of the recording (or where the file stops early).
  size_t read(uint8_t* out, size_t pairs);
  // Back to the first pair.
  void rewind();
  uint64_t position() const { return done; }

 private:
  RecordingInfo recording;
  std::ifstream file;
  std::vector<char> raw;
  uint64_t done = 0;
};

// Conversions of one value to the dongle's byte: value * 127.5 + 127.5 rounded and
// clamped for floats of full scale 1; 16-bit of full scale 32768; 8-bit signed + 128.
uint8_t byte_from_float(float value);
uint8_t byte_from_int16(int16_t value);
uint8_t byte_from_int8(int8_t value);
