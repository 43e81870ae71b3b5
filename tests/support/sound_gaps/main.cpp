// soak_sound_gaps RATE EVENTS RECORDING@START [RECORDING@START ...]
//
// For scripts/soak --faults: reads the raw 16-bit stereo recordings of one sink's monitor
// (each with the wall-clock second its first frame was played) and, for each line
// "SECONDS NAME" of the file EVENTS, prints "NAME SECONDS LOST": the seconds of silence
// the fault at SECONDS left (see silence_after), or "never" when the sound did not come
// back before the recordings end.
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "tests/support/sound_gaps.h"

namespace {

// A fault shows in the sound within this: the receivers notice a closed connection, a
// failed transfer or a lost server at once, and then play out what was queued.
constexpr double settle_s = 10;
// How far a recording's start, taken when its first bytes reached the file, may be off.
constexpr double clock_slack_s = 1;

bool number(const std::string& text, double& out) {
  char* end = nullptr;
  out = std::strtod(text.c_str(), &end);
  return !text.empty() && end && *end == '\0';
}

}  // namespace

int main(int argc, char** argv) {
  double rate = 0;
  if (argc < 4 || !number(argv[1], rate) || rate <= 0) {
    std::fprintf(stderr, "usage: soak_sound_gaps RATE EVENTS RECORDING@START [RECORDING@START ...]\n");
    return 2;
  }
  std::vector<SoundSpan> spans;
  for (int i = 3; i < argc; ++i) {
    const std::string arg = argv[i];
    const size_t at = arg.rfind('@');
    double start = 0;
    if (at == std::string::npos || !number(arg.substr(at + 1), start)) {
      std::fprintf(stderr, "soak_sound_gaps: '%s' is not RECORDING@START\n", arg.c_str());
      return 2;
    }
    const std::string path = arg.substr(0, at);
    FILE* f = std::fopen(path.c_str(), "rb");
    if (!f) {
      std::fprintf(stderr, "soak_sound_gaps: cannot read %s\n", path.c_str());
      return 2;
    }
    SoundSpans found(rate, start);
    std::vector<int16_t> buffer(2 * 48000);
    size_t frames = 0;
    while ((frames = std::fread(buffer.data(), 4, buffer.size() / 2, f)) > 0) found.add(buffer.data(), frames);
    std::fclose(f);
    const std::vector<SoundSpan> more = found.finish();
    spans.insert(spans.end(), more.begin(), more.end());
  }
  spans = merge_spans(std::move(spans));

  FILE* events = std::fopen(argv[2], "r");
  if (!events) {
    std::fprintf(stderr, "soak_sound_gaps: cannot read %s\n", argv[2]);
    return 2;
  }
  char line[256];
  while (std::fgets(line, sizeof line, events)) {
    double when = 0;
    char name[128];
    if (std::sscanf(line, "%lf %127s", &when, name) != 2) continue;
    const std::optional<double> lost = silence_after(spans, when, settle_s, clock_slack_s);
    if (lost) {
      std::printf("%s %.3f %.2f\n", name, when, *lost);
    } else {
      std::printf("%s %.3f never\n", name, when);
    }
  }
  std::fclose(events);
  return 0;
}
