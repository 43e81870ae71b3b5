// Output devices chosen by a part of their names: --device and --listen-device.
#include "control/output_device.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "control/command_line.h"
#include "core/rx_state.h"
#include "tests/support/virtual_wave_device.h"
#include "variants/variant.h"

namespace {

const std::vector<std::string> names = {
    "HDA Intel PCH: ALC892 Analog (hw:0,0)", "USB Audio Device: - (hw:1,0)", "pulse",
    "PulseAudio Sound Server", "Динамики (Realtek High Definition Audio)", "default"};

struct Found {
  bool ok = false;
  int32_t id = -9;
  std::string error;
};

Found find(const std::string& wanted) {
  Found f;
  f.ok = find_output_device(names, wanted, f.id, f.error);
  return f;
}

TEST(OutputDeviceName, AWholeNameWinsOverPartsOtherwiseOnePartChoosesInAnyCase) {
  EXPECT_EQ(find("pulse").id, 2) << "'pulse' is also part of 'PulseAudio Sound Server'";
  EXPECT_EQ(find("PULSE").id, 2);
  EXPECT_EQ(find("usb").id, 1);
  EXPECT_EQ(find("alc892 analog").id, 0);
  EXPECT_EQ(find("sound server").id, 3);
  EXPECT_EQ(find("ДИНАМИКИ").id, 4) << "Cyrillic capitals too";
  EXPECT_EQ(find("динамики (realtek").id, 4);
}

TEST(OutputDeviceName, AmbiguousOrMissingNamesListTheCandidatesWithTheirIds) {
  const Found ambiguous = find("audio");
  EXPECT_FALSE(ambiguous.ok);
  EXPECT_EQ(ambiguous.id, -9) << "nothing chosen";
  EXPECT_EQ(ambiguous.error,
            "'audio' names more than one output device; give more of its name, or its id:\n"
            "  1  \"USB Audio Device: - (hw:1,0)\"\n"
            "  3  \"PulseAudio Sound Server\"\n"
            "  4  \"Динамики (Realtek High Definition Audio)\"");

  const Found missing = find("bluetooth");
  EXPECT_FALSE(missing.ok);
  EXPECT_NE(missing.error.find("no output device's name contains 'bluetooth'"), std::string::npos);
  for (size_t id = 0; id < names.size(); ++id) {
    EXPECT_NE(missing.error.find("\n  " + std::to_string(id) + "  "), std::string::npos) << id;
  }
  EXPECT_FALSE(find("").ok);

  std::vector<std::string> twins = {"Speakers", "Speakers"};
  int32_t id = -9;
  std::string error;
  EXPECT_FALSE(find_output_device(twins, "speakers", id, error)) << "two equal names: say so";
  EXPECT_NE(error.find("  0  Speakers\n  1  Speakers"), std::string::npos) << error;
}

TEST(OutputDeviceName, ListedAsTypedOnACommandLine) {
  EXPECT_EQ(typed_name("pulse"), "pulse");
  EXPECT_EQ(typed_name("hw:0,0"), "hw:0,0");
  EXPECT_EQ(typed_name("HDA Intel PCH: ALC892 Analog (hw:0,0)"), "\"HDA Intel PCH: ALC892 Analog (hw:0,0)\"");
  EXPECT_EQ(typed_name("say \"$HOME\""), "\"say \\\"\\$HOME\\\"\"");
  EXPECT_EQ(typed_name(""), "\"\"");
}

struct Chosen {
  bool ok = false;
  ReceiverOptions options;
  std::string error;
};

Chosen choose(std::vector<const char*> args) {
  Chosen c;
  args.insert(args.begin(), "rxiq12");
  c.ok = parse_options(rxiq12_variant, static_cast<int>(args.size()), const_cast<char**>(args.data()),
                       c.options, c.error);
  if (!c.ok) return c;
  VirtualWaveBackend backend;
  backend.set_names(names);
  c.ok = choose_output_devices(backend, c.options, c.error);
  return c;
}

TEST(OutputDeviceName, DeviceAndListenDeviceTakeNamesAndTheNumbersStay) {
  Chosen c = choose({"--device", "usb", "145500000", "3", "--listen", "fm", "--listen-device=Realtek"});
  ASSERT_TRUE(c.ok) << c.error;
  EXPECT_EQ(c.options.device, 1);
  EXPECT_EQ(c.options.listen_device, 4);
  RxState state(rxiq12_variant);
  std::vector<const char*> args = {"rxiq12", "--device", "usb", "145500000", "3"};
  parse_command_line(state, static_cast<int>(args.size()), const_cast<char**>(args.data()));
  EXPECT_EQ(state.out_device.load(), 3) << "the name is no positional number";

  c = choose({"--listen-device", "2"});
  ASSERT_TRUE(c.ok) << c.error;
  EXPECT_EQ(c.options.listen_device, 2) << "a number is an id";
  EXPECT_EQ(c.options.device, -2) << "no --device: the positional id stands";

  c = choose({"--listen-device", "-5"});
  EXPECT_FALSE(c.ok);
  EXPECT_NE(c.error.find("not '-5'"), std::string::npos) << c.error;

  c = choose({"--device", "audio"});
  EXPECT_FALSE(c.ok);
  EXPECT_TRUE(c.error.starts_with("--device: 'audio' names more than one")) << c.error;

  c = choose({"--listen-device", "bluetooth"});
  EXPECT_FALSE(c.ok);
  EXPECT_TRUE(c.error.starts_with("--listen-device: no output device's name contains")) << c.error;

  c = choose({"--device"});
  EXPECT_FALSE(c.ok);
  EXPECT_NE(c.error.find("--device needs a value"), std::string::npos) << c.error;
}

}  // namespace
