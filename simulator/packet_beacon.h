// Packet radio for the simulated scene: AX.25 UI frames and the 1200 baud AFSK (Bell 202
// tones) that carries them, plus the one beacon the simulator transmits.
//
// On the line a transmission is HDLC: flags (0x7E), then each frame's bytes least
// significant bit first with a 0 inserted after every five 1s (so that no flag can
// appear inside), then flags again. The bits are NRZI coded, a 0 changing the tone and a
// 1 keeping it, and the tone runs on without a phase jump where it changes.
#pragma once

#include <cstdint>
#include <span>
#include <string>
#include <string_view>
#include <vector>

inline constexpr double afsk_baud = 1200.0;
inline constexpr double afsk_mark = 1200.0;   // Hz
inline constexpr double afsk_space = 2200.0;  // Hz
inline constexpr uint8_t hdlc_flag = 0x7E;
inline constexpr int hdlc_trailing_flags = 3;  // after each frame of a transmission

inline constexpr uint8_t ax25_control_ui = 0x03;
inline constexpr uint8_t ax25_pid_no_layer3 = 0xF0;

// A station: up to six letters and digits, and a secondary station identifier 0 to 15.
struct Ax25Address {
  std::string callsign;
  int ssid = 0;
};

// The frame check sequence of AX.25 (CRC-16/X.25: reflected 0x1021, initial 0xFFFF,
// inverted at the end). Sent low byte first after the bytes it covers.
uint16_t ax25_fcs(std::span<const uint8_t> bytes);

// A UI frame as a command (control 0x03, PID 0xF0), its FCS appended: the addresses, each
// six shifted characters and an SSID byte, the last one marked; the path's digipeaters
// not yet repeated.
std::vector<uint8_t> ax25_ui_frame(const Ax25Address& destination, const Ax25Address& source,
                                   const std::vector<Ax25Address>& path, std::string_view info);

// The bits on the line for a transmission of `frames` (each with its FCS), before NRZI:
// `preamble_flags` flags, then each frame bit-stuffed and followed by `trailing_flags`
// flags (at least one, which also separates it from the next frame).
std::vector<uint8_t> hdlc_bits(const std::vector<std::vector<uint8_t>>& frames, int preamble_flags,
                               int trailing_flags = hdlc_trailing_flags);

// The tone of each bit after NRZI coding, 1 for mark and 0 for space, starting from mark.
std::vector<uint8_t> nrzi_tones(const std::vector<uint8_t>& bits);

// AFSK as a function of time from the start of the first bit, so that it can be sampled
// at any rate or fed to an FM transmitter exactly: within a bit the tone's phase grows
// linearly, so both the audio and its running integral have a closed form.
class AfskSignal {
 public:
  explicit AfskSignal(const std::vector<uint8_t>& tones);

  double duration() const;  // seconds
  // The audio at t seconds, in [-1, 1]; 0 outside the transmission.
  double audio(double t) const;
  // The audio's integral from 0 to t, in seconds: what turns into a frequency
  // modulator's phase (2 pi deviation times this).
  double integral(double t) const;
  // The integral at samples first, first + 1, ... of a stream at `sample_rate` that
  // starts with the first bit, into `out`: the same values as integral(), with the tone
  // advanced by multiplication within each bit rather than evaluated afresh.
  void integrals(double sample_rate, size_t first, std::span<double> out) const;

 private:
  struct Bit {
    double frequency;  // Hz
    double phase;      // the tone's phase at the bit's start, radians in [0, 2 pi)
    double cosine;     // its cosine
    double integral;   // the audio's integral up to the bit's start
  };
  std::vector<Bit> bits_;
  size_t bit_at(double t) const;
};

// Audio samples in [-1, 1] at `sample_rate` for a transmission of `frames`, from the
// start of the first flag to the end of the last.
std::vector<float> afsk_audio(const std::vector<std::vector<uint8_t>>& frames, double sample_rate,
                              int preamble_flags, int trailing_flags = hdlc_trailing_flags);

// The simulator's beacon: an APRS position report from N0CALL-9 via WIDE1-1, after a
// preamble of flags long enough for a receiver's squelch and a decoder to settle.
inline constexpr const char* beacon_destination = "APZRXQ";
inline constexpr const char* beacon_source = "N0CALL";
inline constexpr int beacon_source_ssid = 9;
inline constexpr const char* beacon_path = "WIDE1";
inline constexpr int beacon_path_ssid = 1;
inline constexpr const char* beacon_info = "!5130.00N/00005.00W-rxiq simulated beacon";
inline constexpr int beacon_preamble_flags = 45;  // 300 ms at 1200 baud

// The beacon's frame, with its FCS.
std::vector<uint8_t> beacon_frame();
// One burst of the beacon: preamble, the frame, trailing flags.
AfskSignal beacon_signal();
// That burst as audio samples at `sample_rate`.
std::vector<float> beacon_audio(double sample_rate);
