#include "recording/recording.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;

// A folder of its own for the files a test writes, removed at its end.
struct Folder {
  fs::path path = fs::temp_directory_path() / ("rxiq-recording-" + std::to_string(getpid()));
  Folder() { fs::create_directories(path); }
  ~Folder() { fs::remove_all(path); }
  std::string write(const std::string& name, const std::string& bytes) const {
    std::ofstream(path / name, std::ios::binary) << bytes;
    return (path / name).string();
  }
};

std::string le16(uint16_t v) { return {static_cast<char>(v & 0xFF), static_cast<char>(v >> 8)}; }
std::string le32(uint32_t v) { return le16(static_cast<uint16_t>(v)) + le16(static_cast<uint16_t>(v >> 16)); }

std::string chunk(const char* id, const std::string& body) {
  return std::string(id, 4) + le32(static_cast<uint32_t>(body.size())) + body;
}

// A two-channel PCM WAV file; `auxi_bytes` of an auxi chunk (0: none) whose frequency,
// when the chunk holds it, is 145,800,000 Hz.
std::string wav(uint16_t bits, const std::string& data, size_t auxi_bytes = 0, uint32_t rate = 1200000,
                uint16_t channels = 2) {
  const uint16_t align = static_cast<uint16_t>(channels * bits / 8);
  std::string body = "WAVE" + chunk("fmt ", le16(1) + le16(channels) + le32(rate) + le32(rate * align) +
                                                le16(align) + le16(bits));
  if (auxi_bytes > 0) {
    std::string auxi(32, '\0');
    auxi += le32(145800000);
    auxi.resize(auxi_bytes, '\0');
    body += chunk("auxi", auxi);
  }
  body += chunk("data", data);
  return "RIFF" + le32(static_cast<uint32_t>(body.size())) + body;
}

std::string sigmf_meta(const std::string& datatype, const std::string& extra_global = "",
                       const std::string& annotations = "[]") {
  return R"({"global": {"core:datatype": ")" + datatype + R"(", "core:version": "1.0.0")" +
         extra_global + R"(}, "captures": [{"core:sample_start": 0, "core:frequency": 145800000}], )" +
         R"("annotations": )" + annotations + "}";
}
const std::string rate_field = R"(, "core:sample_rate": 1200000)";

std::string floats(std::initializer_list<float> values) {
  std::string out;
  for (float f : values) {
    uint32_t word = 0;
    std::memcpy(&word, &f, 4);
    out += le32(word);
  }
  return out;
}
std::string int16s(std::initializer_list<int> values) {
  std::string out;
  for (int v : values) out += le16(static_cast<uint16_t>(static_cast<int16_t>(v)));
  return out;
}

std::vector<uint8_t> read_all(const RecordingInfo& info) {
  RecordingReader reader;
  EXPECT_TRUE(reader.open(info));
  std::vector<uint8_t> bytes(64);
  bytes.resize(2 * reader.read(bytes.data(), 32));
  return bytes;
}

}  // namespace

// Every form gives the dongle's bytes: full scale to 0 and 255, zero to 128, half scale
// up to 191, beyond full scale clamped; the frequency from the file, else the option.
TEST(Recording, EachFormReadsAsTheDonglesBytes) {
  Folder folder;
  struct Case {
    const char* what;
    std::string file;  // the path given, after the files are written
    const char* form;
    uint32_t frequency;
    std::vector<uint8_t> bytes;
  };
  const std::vector<uint8_t> scaled = {0, 255, 128, 191};
  const std::string raw = {'\0', '\xFF', '\x7F', '\x80', '\x11'};  // an odd last byte
  folder.write("c8.sigmf-meta", sigmf_meta("cu8", rate_field));
  folder.write("c8.sigmf-data", raw);
  folder.write("i8.sigmf-meta", sigmf_meta("ci8", rate_field));
  folder.write("i8.sigmf-data", {'\x80', '\x7F', '\0', '\xFF'});
  folder.write("i16.sigmf-meta", sigmf_meta("ci16_le", rate_field));
  folder.write("i16.sigmf-data", int16s({-32768, 32767, 0, 16384}));
  folder.write("f32.sigmf-meta", sigmf_meta("cf32_le", rate_field));
  folder.write("f32.sigmf-data", floats({-1.5f, 1.0f, 0.0f, 0.5f}));
  const Case cases[] = {
      {"raw", folder.write("x.cu8", raw), "raw", 100000000, {0, 255, 127, 128}},
      {"SigMF cu8 by its base", (folder.path / "c8").string(), "SigMF", 145800000, {0, 255, 127, 128}},
      {"SigMF ci8 by its data", (folder.path / "i8.sigmf-data").string(), "SigMF", 145800000, {0, 255, 128, 127}},
      {"SigMF ci16_le by its meta", (folder.path / "i16.sigmf-meta").string(), "SigMF", 145800000, scaled},
      {"SigMF cf32_le", (folder.path / "f32").string(), "SigMF", 145800000, scaled},
      {"WAV 8-bit", folder.write("w8.wav", wav(8, raw.substr(0, 4))), "WAV", 100000000, {0, 255, 127, 128}},
      {"WAV 16-bit with auxi", folder.write("w16a.wav", wav(16, int16s({-32768, 32767, 0, 16384}), 164)), "WAV",
       145800000, scaled},
      {"WAV 16-bit, auxi too short", folder.write("w16s.wav", wav(16, int16s({-32768, 32767, 0, 16384}), 20)),
       "WAV", 100000000, scaled},
  };
  for (const Case& c : cases) {
    RecordingInfo info;
    std::string error;
    ASSERT_TRUE(open_recording(c.file, {1200000, 100000000}, info, error)) << c.what << ": " << error;
    EXPECT_EQ(info.form, c.form) << c.what;
    EXPECT_EQ(info.rate, 1200000u) << c.what;
    EXPECT_EQ(info.frequency, c.frequency) << c.what;
    EXPECT_EQ(read_all(info), c.bytes) << c.what;
  }
}

// Names come in as UTF-8 whatever the system's own encoding (UTF-16 on Windows).
TEST(Recording, PathsAreReadAsUtf8) {
  Folder folder;
  const fs::path file = folder.path / fs::path(u8"приём.cu8");
  std::ofstream(file, std::ios::binary) << std::string("\x01\x02\x03\x04", 4);
  const std::u8string utf8 = file.u8string();
  RecordingInfo info;
  std::string error;
  ASSERT_TRUE(open_recording(std::string(utf8.begin(), utf8.end()), {1200000, 100000000}, info, error)) << error;
  EXPECT_EQ(info.name, "приём.cu8");
  EXPECT_EQ(read_all(info), (std::vector<uint8_t>{1, 2, 3, 4}));
}

// A file that cannot be played says which file and why, in one line.
TEST(Recording, WhatCannotBePlayedIsNamedWithItsReason) {
  Folder folder;
  folder.write("nojson.sigmf-meta", "{\"global\": ");
  folder.write("nojson.sigmf-data", "ab");
  folder.write("norate.sigmf-meta", sigmf_meta("cu8"));
  folder.write("norate.sigmf-data", "ab");
  folder.write("type.sigmf-meta", sigmf_meta("ri16_le", rate_field));
  folder.write("type.sigmf-data", "ab");
  folder.write("short.sigmf-meta",
               sigmf_meta("ci16_le", rate_field, R"([{"core:sample_start": 1, "core:sample_count": 4}])"));
  folder.write("short.sigmf-data", int16s({1, 2, 3, 4, 5, 6, 7, 8}));
  folder.write("lost.sigmf-meta", sigmf_meta("cu8", rate_field));
  const std::string full_wav = wav(16, int16s({1, 2, 3, 4}));
  struct Case {
    std::string path;
    std::string error;
  };
  const Case cases[] = {
      {folder.write("x.cu8", "abcd"), "x.cu8: a raw recording says nothing of its sample rate; give it with ,rate=N"},
      {folder.write("empty.cu8", ""), ""},  // filled in below: given a rate, it holds nothing
      {(folder.path / "none.cu8").string(), "none.cu8: no such file (" + (folder.path / "none.cu8").string() + ")"},
      {(folder.path / "nojson").string(), "nojson.sigmf-meta is not JSON: at byte 11: the text ends where a value should be"},
      {(folder.path / "norate").string(), "norate.sigmf-meta: no global core:sample_rate (give it with ,rate=N)"},
      {(folder.path / "type").string(),
       "type.sigmf-meta: datatype \"ri16_le\" is not one this receiver plays (cu8, ci8, ci16_le, cf32_le)"},
      {(folder.path / "short").string(), "short.sigmf-data holds 4 samples, fewer than its metadata describes (5)"},
      {(folder.path / "lost.sigmf-meta").string(), "lost.sigmf-data: the data file beside lost.sigmf-meta is missing"},
      {folder.write("cut.wav", full_wav.substr(0, full_wav.size() - 3)),
       "cut.wav is cut short: its data chunk announces 8 bytes, the file holds 5"},
      {folder.write("head.wav", "RIFF"), "head.wav is not a WAV file of I/Q this receiver plays: no RIFF WAVE header"},
      {folder.write("mono.wav", wav(16, int16s({1, 2}), 0, 1200000, 1)),
       "mono.wav is not a WAV file of I/Q this receiver plays: 1 channels, not 2 (I and Q)"},
      {folder.write("nodata.wav", wav(8, "ab").substr(0, 36)),
       "nodata.wav is not a WAV file of I/Q this receiver plays: no data chunk"},
  };
  for (const Case& c : cases) {
    RecordingInfo info;
    std::string error;
    EXPECT_FALSE(open_recording(c.path, {}, info, error)) << c.path;
    if (!c.error.empty()) {
      EXPECT_EQ(error, c.error);
    }
  }
  RecordingInfo info;
  std::string error;
  EXPECT_FALSE(open_recording((folder.path / "empty.cu8").string(), {1200000, 0}, info, error));
  EXPECT_EQ(error, "empty.cu8 holds no samples");
}

// Every cut of a WAV file is refused with a reason, but the whole file.
TEST(Recording, EveryTruncationOfAWavFileIsReadOrRefused) {
  Folder folder;
  const std::string whole = wav(16, int16s({1, 2, 3, 4, 5, 6}), 40);
  for (size_t size = 0; size <= whole.size(); ++size) {
    const std::string path = folder.write("cut.wav", whole.substr(0, size));
    RecordingInfo info;
    std::string error;
    if (size < 4) {
      // Too short to say RIFF: read as raw bytes, as a file of any other name is.
      EXPECT_EQ(open_recording(path, {1200000, 0}, info, error), size >= 2) << error;
    } else if (open_recording(path, {1200000, 0}, info, error)) {
      EXPECT_EQ(size, whole.size());
      EXPECT_EQ(read_all(info).size(), 6u);
    } else {
      EXPECT_EQ(error.rfind("cut.wav", 0), 0u) << error;
    }
  }
}
