#include "control/rigctl_protocol.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <sstream>
#include <string>
#include <vector>

#include "dsp/dsp_thread.h"
#include "variants/variant.h"

namespace {

Dongle* open_device() { return reinterpret_cast<Dongle*>(uintptr_t{0x1000}); }

struct Port : ::testing::Test {
  RxState state{rxiq12_variant};
  RigctlShared shared;
  std::atomic<float> level{no_level_dbfs};
  std::atomic<uint8_t> squelch_open{1};
  RigctlLinks links{state, shared, rxiq12_variant, &level, &squelch_open};
  bool quit = false;

  Port() {
    state.device.store(open_device());
    state.tuner_type.store(5);  // R820T
    state.gain_count.store(29);
    state.gain_index.store(28);
  }
  std::string ask(const std::string& line) { return rigctl_answer(links, line, quit); }
};

std::vector<std::string> lines_of(const std::string& text) {
  std::vector<std::string> lines;
  std::istringstream in(text);
  for (std::string line; std::getline(in, line);) lines.push_back(line);
  return lines;
}

}  // namespace

TEST_F(Port, TheHandshakeAHamlibClientMakes) {
  EXPECT_EQ(ask("\\chk_vfo"), "0\n");
  EXPECT_EQ(ask("v"), "VFOA\n");
  EXPECT_EQ(ask("V VFOA"), "RPRT 0\n");
  EXPECT_EQ(ask("V VFOB"), "RPRT -1\n") << "one receiver, one VFO";
  EXPECT_EQ(ask("s"), "0\nVFOA\n");
  EXPECT_EQ(ask("\\get_powerstat"), "1\n");
  EXPECT_EQ(ask("\\get_lock_mode"), "0\n");
  EXPECT_EQ(ask("t"), "0\n");
}

// Reads \dump_state the way Hamlib 4's NET rigctl backend does: fixed lines, lists that
// end with zeros, then setting=value lines up to "done".
TEST_F(Port, DumpStateReadsAsHamlibReadsIt) {
  const std::vector<std::string> l = lines_of(ask("\\dump_state"));
  size_t i = 0;
  ASSERT_GT(l.size(), 30u);
  EXPECT_EQ(l[i++], "1") << "protocol version";
  EXPECT_EQ(l[i++], "2") << "model: NET rigctl";
  i++;  // ITU region
  double low = 0, high = 0;
  unsigned long long modes = 0;
  int lp = 0, hp = 0;
  unsigned vfo = 0, ant = 0;
  ASSERT_EQ(std::sscanf(l[i++].c_str(), "%lf%lf%llx%d%d%x%x", &low, &high, &modes, &lp, &hp, &vfo, &ant), 7);
  EXPECT_EQ(low, 24e6);
  EXPECT_EQ(high, 1766e6);
  EXPECT_EQ(modes & 0x61u, 0x61u) << "AM, FM and WFM";
  EXPECT_EQ(modes & 0xCu, 0xCu) << "USB and LSB";
  EXPECT_EQ(l[i++], "0 0 0 0 0 0 0") << "end of the receive ranges";
  EXPECT_EQ(l[i++], "0 0 0 0 0 0 0") << "no transmit range";
  while (i < l.size() && l[i] != "0 0") ++i;  // tuning steps
  ++i;
  int filters = 0;
  for (; i < l.size() && l[i] != "0 0"; ++i) ++filters;
  EXPECT_EQ(filters, 8);
  ++i;
  for (int k = 0; k < 4; ++k) EXPECT_EQ(l[i++], "0");  // RIT, XIT, IF shift, announces
  EXPECT_EQ(l[i++], "");                             // preamps
  EXPECT_EQ(l[i++], "");                             // attenuators
  EXPECT_EQ(std::stoull(l[i++], nullptr, 0), 1u) << "get FAGC";
  EXPECT_EQ(std::stoull(l[i++], nullptr, 0), 1u) << "set FAGC";
  EXPECT_EQ(std::stoull(l[i++], nullptr, 0), (1ull << 4) | (1ull << 30)) << "get RF, STRENGTH";
  EXPECT_EQ(std::stoull(l[i++], nullptr, 0), 1ull << 4) << "set RF";
  i += 2;  // parameters: none
  for (; i + 1 < l.size(); ++i) EXPECT_NE(l[i].find('='), std::string::npos) << l[i];
  EXPECT_EQ(l.back(), "done");

  state.tuner_type.store(1);  // E4000
  EXPECT_NE(ask("\\dump_state").find("52000000.000000 2200000000.000000 "), std::string::npos);
}

TEST_F(Port, FrequencyTunesAtOnceWithinTheTunersRange) {
  EXPECT_EQ(ask("F 145730000"), "RPRT 0\n");
  EXPECT_EQ(state.frequency.load(), 145730000);
  EXPECT_EQ(ask("f"), "145730000\n");
  EXPECT_EQ(ask("F 145730123.5"), "RPRT 0\n") << "fractions round to the nearest Hz";
  EXPECT_EQ(ask("f"), "145730124\n");
  EXPECT_EQ(ask("F145800000.000000"), "RPRT 0\n") << "as some clients write it, without a space";
  EXPECT_EQ(ask("f"), "145800000\n");
  EXPECT_EQ(ask("\\set_freq 433920000"), "RPRT 0\n");
  EXPECT_EQ(ask("\\get_freq"), "433920000\n");

  state.tuner_type.store(1);  // E4000: above 2^31 Hz, shown unsigned
  EXPECT_EQ(ask("F 2100000000"), "RPRT 0\n");
  EXPECT_EQ(ask("f"), "2100000000\n");
  state.tuner_type.store(5);

  for (const char* bad : {"F 23999999", "F 1766000001", "F -1", "F 1e99", "F nan", "F 145,8",
                          "F 145M", "F", "F 99999999999"}) {
    EXPECT_EQ(ask(bad).substr(0, 6), "RPRT -") << bad;
  }
  EXPECT_EQ(ask("f"), "2100000000\n") << "nothing refused was tuned";

  state.device.store(nullptr);
  EXPECT_EQ(ask("F 145000000"), "RPRT -11\n") << "as Left and Right: no dongle, no tuning";
}

TEST_F(Port, ModeIsRememberedAndReadBack) {
  EXPECT_EQ(ask("m"), "FM\n15000\n");
  EXPECT_EQ(ask("M USB 0"), "RPRT 0\n");
  EXPECT_EQ(ask("m"), "USB\n2400\n") << "0 asks for the mode's own passband";
  EXPECT_EQ(ask("M AM 6000"), "RPRT 0\n");
  EXPECT_EQ(ask("M lsb -1"), "RPRT 0\n") << "-1 keeps the passband";
  EXPECT_EQ(ask("m"), "LSB\n6000\n");
  EXPECT_EQ(ask("M WFM 0"), "RPRT 0\n");
  EXPECT_EQ(ask("m"), "WFM\n200000\n");
  EXPECT_EQ(ask("M CW 500"), "RPRT -1\n");
  EXPECT_EQ(ask("M FM -2"), "RPRT -1\n");
  EXPECT_EQ(ask("M FM"), "RPRT -1\n") << "a missing passband";
  EXPECT_EQ(ask("m"), "WFM\n200000\n");
}

TEST_F(Port, GainAgcAndStrength) {
  EXPECT_EQ(ask("l RF"), "1.000000\n");
  state.tuner_gain_mode.store(0);
  EXPECT_EQ(ask("L RF 0.5"), "RPRT 0\n");
  EXPECT_EQ(state.gain_index.load(), 14);
  EXPECT_EQ(state.tuner_gain_mode.load(), 1) << "a gain from the list is a manual gain";
  EXPECT_EQ(ask("l RF"), "0.500000\n");
  EXPECT_EQ(ask("L RF 0"), "RPRT 0\n");
  EXPECT_EQ(state.gain_index.load(), 0);
  EXPECT_EQ(ask("L RF 1.5"), "RPRT -1\n");
  EXPECT_EQ(ask("L RF -0.1"), "RPRT -1\n");
  EXPECT_EQ(state.gain_index.load(), 0);

  EXPECT_EQ(ask("l STRENGTH"), "RPRT -11\n") << "no block measured yet";
  level.store(-23.6f);
  EXPECT_EQ(ask("l STRENGTH"), "-24\n");
  EXPECT_EQ(ask("l SQL"), "RPRT -11\n");
  EXPECT_EQ(ask("L SQL 0.5"), "RPRT -11\n");
  EXPECT_EQ(ask("l AF"), "RPRT -11\n");

  EXPECT_EQ(ask("u FAGC"), "0\n");
  EXPECT_EQ(ask("U FAGC 1"), "RPRT 0\n");
  EXPECT_EQ(state.agc_mode.load(), 1);
  EXPECT_EQ(ask("u FAGC"), "1\n");
  EXPECT_EQ(ask("U FAGC 2"), "RPRT -1\n");
  EXPECT_EQ(ask("U NB 1"), "RPRT -11\n");

  state.gain_count.store(0);
  EXPECT_EQ(ask("L RF 0.5"), "RPRT -11\n") << "no gain list, no gain";
}

TEST_F(Port, TransmittingAndEverythingUnknownIsNotAvailable) {
  for (const char* line : {"T 1", "T 0", "I 145000000", "X USB 2400", "S 1 VFOB", "\\send_morse CQ",
                           "\\set_powerstat 0", "W", "_", "\\no_such_command", "\x01\x02\xff"}) {
    EXPECT_EQ(ask(line), "RPRT -11\n") << line;
  }
  EXPECT_EQ(ask("S 0 VFOA"), "RPRT 0\n") << "split off is what a receiver has";
  EXPECT_EQ(ask("AOS"), "RPRT 0\n");
  EXPECT_EQ(ask("LOS"), "RPRT 0\n");
  EXPECT_FALSE(quit);
}

// What gpredict sends to a receive-only radio: a right-aligned frequency, the read-back,
// carrier detect by its byte, the pass marks, and q when it disengages.
TEST_F(Port, TheCommandsGpredictSends) {
  EXPECT_EQ(ask("F  145800000"), "RPRT 0\n");
  EXPECT_EQ(ask("f"), "145800000\n");
  EXPECT_EQ(ask("\x8b"), "0\n");
  // The pass marks start and stop the recording.
  std::string marks;
  links.pass_mark = [](void* to, bool start) { *static_cast<std::string*>(to) += start ? "start " : "stop "; };
  links.pass_context = &marks;
  EXPECT_EQ(ask("AOS"), "RPRT 0\n");
  EXPECT_EQ(ask("LOS"), "RPRT 0\n");
  EXPECT_EQ(marks, "start stop ");
  EXPECT_EQ(ask("q"), "");
  EXPECT_TRUE(quit);
}

TEST_F(Port, ExtendedAnswersNameTheCommandAndItsValues) {
  EXPECT_EQ(ask("+f"), "get_freq:\nFrequency: 145725000\nRPRT 0\n");
  EXPECT_EQ(ask("+F 145730000"), "set_freq: 145730000\nRPRT 0\n");
  EXPECT_EQ(ask(";m"), "get_mode:;Mode: FM;Passband: 15000;RPRT 0\n");
  EXPECT_EQ(ask("+l RF"), "get_level: RF\nLevel Value: 1.000000\nRPRT 0\n");
  EXPECT_EQ(ask("|\\get_powerstat"), "get_powerstat:|Power Status: 1|RPRT 0\n");
  EXPECT_EQ(ask("+T 1"), "set_ptt: 1\nRPRT -11\n");
  EXPECT_EQ(ask("+\\chk_vfo"), "ChkVFO: 0\n") << "no header and no status, as rigctld";
  const std::string state_text = ask("+\\dump_state");
  EXPECT_EQ(state_text.rfind("dump_state:\n1\n2\n", 0), 0u);
  EXPECT_TRUE(state_text.ends_with("done\nRPRT 0\n"));
}

TEST_F(Port, ALineCarriesSeveralCommandsAndQuitEndsIt) {
  EXPECT_EQ(ask("F 145730000 f  m"), "RPRT 0\n145730000\nFM\n15000\n");
  EXPECT_EQ(ask("f q f"), "145730000\n");
  EXPECT_TRUE(quit);
  quit = false;
  EXPECT_EQ(ask(""), "");
  EXPECT_EQ(ask("   \t\r"), "");
  EXPECT_EQ(ask("Q"), "");
  EXPECT_TRUE(quit);
}

// With a listening channel, M sets its demodulator at once (Hamlib's rigctl checks the rest
// in the receiver's tests); m answers the channel's mode when it changed elsewhere.
TEST_F(Port, WithAListeningChannelTheModeIsTheChannels) {
  state.listen_mode.store(static_cast<int32_t>(ListenMode::usb));
  state.listen_offset.store(15000);  // beyond FM's 11,200 Hz and AM's 14,700 Hz in rxiq12
  EXPECT_EQ(ask("m"), "USB\n2400\n") << "the channel's mode, not the port's FM";
  EXPECT_EQ(ask("M PKTLSB 0"), "RPRT 0\n");
  for (const char* unfit : {"M FM 0", "M PKTFM 0", "M AM 6000"}) {
    EXPECT_EQ(ask(unfit), "RPRT -1\n") << unfit;
  }
  EXPECT_EQ(ask("m"), "PKTLSB\n2400\n") << "nothing refused was set";
  EXPECT_EQ(state.listen_mode.load(), static_cast<int32_t>(ListenMode::lsb));
  state.listen_mode.store(static_cast<int32_t>(ListenMode::wfm));  // key L
  EXPECT_EQ(ask("m"), "WFM\n200000\n");
}

TEST_F(Port, SquelchAndCarrierDetectComeWithAListeningChannel) {
  // Without one there is nothing to mute and no carrier to detect.
  EXPECT_EQ(ask("L SQL 0.5"), "RPRT -11\n");
  EXPECT_EQ(ask("l SQL"), "RPRT -11\n");
  EXPECT_EQ(ask("\x8b"), "0\n");
  EXPECT_NE(ask("\\dump_state").find("\n0x40000010\n0x10\n"), std::string::npos) << "levels: RF, STRENGTH";
  EXPECT_EQ(state.squelch.load(), squelch_off);

  state.listen_mode.store(static_cast<int32_t>(ListenMode::fm));
  EXPECT_NE(ask("\\dump_state").find("\n0x40000030\n0x30\n"), std::string::npos) << "and SQL";
  EXPECT_EQ(ask("l SQL"), "0.000000\n") << "off";
  // 0 is off; any other v is -120 + 120 v dB.
  const std::pair<const char*, int32_t> levels[] = {
      {"0.5", -600}, {"1", 0}, {"0", squelch_off}, {"0.001", -1199}, {"0.25", -900}};
  for (const auto& [level, tenths] : levels) {
    EXPECT_EQ(ask(std::string("L SQL ") + level), "RPRT 0\n") << level;
    EXPECT_EQ(state.squelch.load(), tenths) << level;
  }
  EXPECT_EQ(ask("l SQL"), "0.250000\n");
  for (const char* bad : {"L SQL 1.5", "L SQL -0.1", "L SQL nan"}) {
    EXPECT_EQ(ask(bad), "RPRT -1\n") << bad;
  }
  EXPECT_EQ(state.squelch.load(), -900) << "nothing refused was set";
  state.squelch.store(-625);  // --squelch -62.5
  EXPECT_EQ(ask("l SQL"), "0.479167\n");

  EXPECT_EQ(ask("\x8b"), "1\n") << "the squelch is open";
  squelch_open.store(0);
  EXPECT_EQ(ask("+\\get_dcd"), "get_dcd:\nDCD: 0\nRPRT 0\n");
}
