#include "recording/recording.h"

#include <algorithm>
#include <cmath>
#include <cstring>
#include <filesystem>
#include <sstream>

#include "recording/json.h"

namespace {

namespace fs = std::filesystem;

const char* const meta_suffix = ".sigmf-meta";
const char* const data_suffix = ".sigmf-data";

bool ends_with(const std::string& text, const std::string& end) {
  return text.size() >= end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
}

// Paths arrive as UTF-8 (the environment, the command line); the system may want another
// encoding (UTF-16 on Windows), which the path type converts to from char8_t.
fs::path native_path(const std::string& utf8) { return fs::path(std::u8string(utf8.begin(), utf8.end())); }

std::string file_name(const std::string& path) {
  const std::u8string name = native_path(path).filename().u8string();
  return std::string(name.begin(), name.end());
}

// The size of a regular file, or false with error set.
bool file_size(const std::string& path, uint64_t& size, std::string& error) {
  std::error_code code;
  const fs::file_status status = fs::status(native_path(path), code);
  if (code || !fs::exists(status)) {
    error = file_name(path) + ": no such file (" + path + ")";
    return false;
  }
  if (!fs::is_regular_file(status)) {
    error = file_name(path) + ": not a file (" + path + ")";
    return false;
  }
  size = fs::file_size(native_path(path), code);
  if (code) {
    error = file_name(path) + ": cannot read it (" + code.message() + ")";
    return false;
  }
  return true;
}

// The first `count` bytes of a file (fewer if it is shorter).
bool read_head(const std::string& path, size_t count, std::string& bytes, std::string& error) {
  std::ifstream in(native_path(path), std::ios::binary);
  if (!in) {
    error = file_name(path) + ": cannot open it";
    return false;
  }
  bytes.assign(count, '\0');
  in.read(bytes.data(), static_cast<std::streamsize>(count));
  bytes.resize(static_cast<size_t>(in.gcount()));
  return true;
}

uint32_t le32(const unsigned char* p) {
  return uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24;
}
uint16_t le16(const unsigned char* p) { return static_cast<uint16_t>(p[0] | p[1] << 8); }

// A whole number of Hz or samples per second from JSON: positive, below 2^32.
bool json_hz(const JsonValue* v, uint32_t& out) {
  if (v == nullptr || !v->is_number()) return false;
  const double rounded = std::round(v->number);
  if (!(rounded >= 1 && rounded <= 4294967295.0)) return false;
  out = static_cast<uint32_t>(rounded);
  return true;
}

// A count of samples from JSON: a whole number, 0 or more.
bool json_count(const JsonValue* v, uint64_t& out) {
  if (v == nullptr || !v->is_number()) return false;
  if (!(v->number >= 0 && v->number <= 9.0e15) || std::floor(v->number) != v->number) return false;
  out = static_cast<uint64_t>(v->number);
  return true;
}

bool open_raw(const std::string& path, const RecordingOptions& options, RecordingInfo& info,
              std::string& error) {
  uint64_t size = 0;
  if (!file_size(path, size, error)) return false;
  info.form = "raw";
  info.data_path = path;
  info.format = SampleFormat::cu8;
  info.pairs = size / 2;
  info.rate = options.rate;
  info.frequency = options.frequency;
  if (info.rate == 0) {
    error = info.name + ": a raw recording says nothing of its sample rate; give it with ,rate=N";
    return false;
  }
  return true;
}

bool open_sigmf(const std::string& meta_path, const std::string& data_path,
                const RecordingOptions& options, RecordingInfo& info, std::string& error) {
  const std::string meta_name = file_name(meta_path);
  uint64_t meta_size = 0;
  if (!file_size(meta_path, meta_size, error)) return false;
  constexpr uint64_t meta_limit = 16u << 20;
  if (meta_size > meta_limit) {
    error = meta_name + ": metadata larger than 16 MiB";
    return false;
  }
  std::string text;
  if (!read_head(meta_path, static_cast<size_t>(meta_size), text, error)) return false;
  JsonValue meta;
  std::string why;
  if (!parse_json(text, meta, why)) {
    error = meta_name + " is not JSON: " + why;
    return false;
  }
  const JsonValue* global = meta.member("global");
  if (global == nullptr || global->type != JsonValue::Type::object) {
    error = meta_name + ": no \"global\" object";
    return false;
  }
  const JsonValue* datatype = global->member("core:datatype");
  if (datatype == nullptr || !datatype->is_string()) {
    error = meta_name + ": no global core:datatype";
    return false;
  }
  static const std::pair<const char*, SampleFormat> types[] = {{"cu8", SampleFormat::cu8},
                                                               {"ci8", SampleFormat::ci8},
                                                               {"ci16_le", SampleFormat::ci16_le},
                                                               {"cf32_le", SampleFormat::cf32_le}};
  bool known = false;
  for (const auto& t : types) {
    if (datatype->text == t.first) {
      info.format = t.second;
      known = true;
    }
  }
  if (!known) {
    error = meta_name + ": datatype \"" + datatype->text +
            "\" is not one this receiver plays (cu8, ci8, ci16_le, cf32_le)";
    return false;
  }
  if (const JsonValue* channels = global->member("core:num_channels")) {
    if (!channels->is_number() || channels->number != 1) {
      error = meta_name + ": more than one channel; only single-channel recordings play";
      return false;
    }
  }
  const JsonValue* rate = global->member("core:sample_rate");
  if (rate == nullptr) {
    info.rate = options.rate;
    if (info.rate == 0) {
      error = meta_name + ": no global core:sample_rate (give it with ,rate=N)";
      return false;
    }
  } else if (!json_hz(rate, info.rate)) {
    error = meta_name + ": core:sample_rate is not a rate in samples per second";
    return false;
  }

  uint64_t start = 0;
  info.frequency = options.frequency;
  const JsonValue* captures = meta.member("captures");
  if (captures != nullptr && captures->type == JsonValue::Type::array && !captures->items.empty()) {
    const JsonValue& first = captures->items.front();
    if (const JsonValue* f = first.member("core:frequency")) {
      if (!json_hz(f, info.frequency)) {
        error = meta_name + ": the first capture's core:frequency is not a frequency in Hz";
        return false;
      }
    }
    if (const JsonValue* s = first.member("core:sample_start")) {
      if (!json_count(s, start)) {
        error = meta_name + ": the first capture's core:sample_start is not a sample number";
        return false;
      }
    }
  }

  uint64_t size = 0;
  if (!file_size(data_path, size, error)) {
    error = file_name(data_path) + ": the data file beside " + meta_name + " is missing";
    return false;
  }
  const uint64_t pair_bytes = static_cast<uint64_t>(sample_pair_bytes(info.format));
  const uint64_t held = size / pair_bytes;
  // The furthest sample the metadata describes: the first capture's start, and the end of
  // every annotation.
  uint64_t described = start;
  if (const JsonValue* notes = meta.member("annotations");
      notes != nullptr && notes->type == JsonValue::Type::array) {
    for (const JsonValue& note : notes->items) {
      uint64_t from = 0, count = 0;
      if (json_count(note.member("core:sample_start"), from) &&
          json_count(note.member("core:sample_count"), count)) {
        described = std::max(described, from + count);
      }
    }
  }
  if (described > held) {
    error = file_name(data_path) + " holds " + std::to_string(held) +
            " samples, fewer than its metadata describes (" + std::to_string(described) + ")";
    return false;
  }
  info.form = "SigMF";
  info.data_path = data_path;
  info.data_offset = start * pair_bytes;
  info.pairs = held - start;
  return true;
}

bool open_wav(const std::string& path, const RecordingOptions& options, RecordingInfo& info,
              std::string& error) {
  uint64_t size = 0;
  if (!file_size(path, size, error)) return false;
  std::ifstream in(native_path(path), std::ios::binary);
  if (!in) {
    error = info.name + ": cannot open it";
    return false;
  }
  auto refuse = [&](const std::string& why) {
    error = info.name + " is not a WAV file of I/Q this receiver plays: " + why;
    return false;
  };
  unsigned char header[12];
  if (!in.read(reinterpret_cast<char*>(header), 12) || std::memcmp(header + 8, "WAVE", 4) != 0) {
    return refuse("no RIFF WAVE header");
  }
  bool have_format = false;
  uint16_t bits = 0;
  uint64_t at = 12;
  info.frequency = 0;
  while (true) {
    unsigned char chunk[8];
    if (size - at < 8 || !in.read(reinterpret_cast<char*>(chunk), 8)) {
      return refuse("no data chunk");
    }
    at += 8;
    const uint64_t length = le32(chunk + 4);
    if (std::memcmp(chunk, "data", 4) == 0) {
      if (!have_format) return refuse("the data chunk comes before the fmt chunk");
      if (length > size - at) {
        error = info.name + " is cut short: its data chunk announces " + std::to_string(length) +
                " bytes, the file holds " + std::to_string(size - at);
        return false;
      }
      info.data_offset = at;
      info.pairs = length / (bits / 8u * 2u);
      break;
    }
    if (length > size - at) return refuse("a chunk runs past the end of the file");
    if (std::memcmp(chunk, "fmt ", 4) == 0 || std::memcmp(chunk, "auxi", 4) == 0) {
      std::vector<unsigned char> body(static_cast<size_t>(std::min<uint64_t>(length, 64)));
      if (!in.read(reinterpret_cast<char*>(body.data()), static_cast<std::streamsize>(body.size()))) {
        return refuse("a chunk runs past the end of the file");
      }
      if (chunk[0] == 'f') {
        if (body.size() < 16) return refuse("the fmt chunk is too short");
        const uint16_t tag = le16(&body[0]), channels = le16(&body[2]);
        bits = le16(&body[14]);
        // WAVE_FORMAT_EXTENSIBLE names its format in the first two bytes of a GUID.
        const bool extensible_pcm = tag == 0xFFFE && body.size() >= 26 && le16(&body[24]) == 1;
        if (tag != 1 && !extensible_pcm) return refuse("not PCM");
        if (channels != 2) return refuse(std::to_string(channels) + " channels, not 2 (I and Q)");
        if (bits != 8 && bits != 16) return refuse(std::to_string(bits) + "-bit samples, not 8 or 16");
        info.rate = le32(&body[4]);
        info.format = bits == 8 ? SampleFormat::cu8 : SampleFormat::ci16_le;
        have_format = true;
      } else if (body.size() >= 36) {
        info.frequency = le32(&body[32]);  // a shorter auxi says nothing of the frequency
      }
    }
    at += length + (length & 1);  // chunks keep to even offsets
    if (at > size) return refuse("no data chunk");
    in.seekg(static_cast<std::streamoff>(at));
  }
  info.form = "WAV";
  info.data_path = path;
  if (info.frequency == 0) info.frequency = options.frequency;
  if (info.rate == 0) return refuse("its sample rate is 0");
  return true;
}

}  // namespace

const char* sample_format_name(SampleFormat format) {
  switch (format) {
    case SampleFormat::cu8: return "cu8";
    case SampleFormat::ci8: return "ci8";
    case SampleFormat::ci16_le: return "ci16_le";
    case SampleFormat::cf32_le: return "cf32_le";
  }
  return "";
}

int sample_pair_bytes(SampleFormat format) {
  switch (format) {
    case SampleFormat::cu8:
    case SampleFormat::ci8: return 2;
    case SampleFormat::ci16_le: return 4;
    case SampleFormat::cf32_le: return 8;
  }
  return 2;
}

bool open_recording(const std::string& path, const RecordingOptions& options, RecordingInfo& info,
                    std::string& error) {
  info = RecordingInfo{};
  info.name = file_name(path);
  bool ok = false;
  if (ends_with(path, meta_suffix) || ends_with(path, data_suffix)) {
    const std::string base = path.substr(0, path.size() - std::strlen(meta_suffix));
    ok = open_sigmf(base + meta_suffix, base + data_suffix, options, info, error);
  } else if (std::error_code code; fs::exists(native_path(path + meta_suffix), code)) {
    ok = open_sigmf(path + meta_suffix, path + data_suffix, options, info, error);
  } else {
    uint64_t size = 0;
    if (!file_size(path, size, error)) return false;
    std::string head;
    if (!read_head(path, 4, head, error)) return false;
    ok = head == "RIFF" ? open_wav(path, options, info, error) : open_raw(path, options, info, error);
  }
  if (ok && info.pairs == 0) {
    error = info.name + " holds no samples";
    return false;
  }
  return ok;
}

uint8_t byte_from_float(float value) {
  if (std::isnan(value)) return 128;
  const double scaled = std::floor(static_cast<double>(value) * 127.5 + 127.5 + 0.5);
  return static_cast<uint8_t>(std::clamp(scaled, 0.0, 255.0));
}

uint8_t byte_from_int16(int16_t value) {
  const double scaled = std::floor(value / 32768.0 * 127.5 + 127.5 + 0.5);
  return static_cast<uint8_t>(std::clamp(scaled, 0.0, 255.0));
}

uint8_t byte_from_int8(int8_t value) { return static_cast<uint8_t>(value + 128); }

bool RecordingReader::open(const RecordingInfo& info) {
  recording = info;
  file.close();
  file.clear();
  file.open(native_path(info.data_path), std::ios::binary);
  if (!file) return false;
  rewind();
  return true;
}

void RecordingReader::rewind() {
  done = 0;
  file.clear();
  file.seekg(static_cast<std::streamoff>(recording.data_offset));
}

size_t RecordingReader::read(uint8_t* out, size_t pairs) {
  const uint64_t left = recording.pairs - done;
  pairs = static_cast<size_t>(std::min<uint64_t>(pairs, left));
  if (pairs == 0 || !file) return 0;
  const size_t pair_bytes = static_cast<size_t>(sample_pair_bytes(recording.format));
  if (recording.format == SampleFormat::cu8) {
    file.read(reinterpret_cast<char*>(out), static_cast<std::streamsize>(pairs * 2));
    const size_t got = static_cast<size_t>(file.gcount()) / 2;
    done += got;
    return got;
  }
  raw.resize(pairs * pair_bytes);
  file.read(raw.data(), static_cast<std::streamsize>(raw.size()));
  const size_t got = static_cast<size_t>(file.gcount()) / pair_bytes;
  const auto* p = reinterpret_cast<const unsigned char*>(raw.data());
  for (size_t k = 0; k < 2 * got; ++k) {
    switch (recording.format) {
      case SampleFormat::ci8: out[k] = byte_from_int8(static_cast<int8_t>(p[k])); break;
      case SampleFormat::ci16_le:
        out[k] = byte_from_int16(static_cast<int16_t>(le16(p + 2 * k)));
        break;
      case SampleFormat::cf32_le: {
        const uint32_t word = le32(p + 4 * k);
        float value = 0;
        std::memcpy(&value, &word, sizeof value);
        out[k] = byte_from_float(value);
        break;
      }
      case SampleFormat::cu8: out[k] = p[k]; break;
    }
  }
  done += got;
  return got;
}
