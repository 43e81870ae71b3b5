// The rtl_tcp protocol, shared by the network dongle (rtl_tcp_dongle.h) and the
// simulator's server (rtl_tcp_server.h).
//
// On connect the server sends a 12-byte header: "RTL0", the tuner type and the number of
// tuner gain steps, both 32-bit big-endian. Then unsigned 8-bit I/Q flows without any
// framing. The client sends 5-byte commands: one command byte and a 32-bit big-endian
// parameter.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

inline constexpr uint16_t rtl_tcp_default_port = 1234;
inline constexpr size_t rtl_tcp_header_bytes = 12;
inline constexpr size_t rtl_tcp_command_bytes = 5;
inline constexpr char rtl_tcp_magic[4] = {'R', 'T', 'L', '0'};

enum RtlTcpCommand : uint8_t {
  rtl_tcp_set_center_freq = 0x01,
  rtl_tcp_set_sample_rate = 0x02,
  rtl_tcp_set_gain_mode = 0x03,
  rtl_tcp_set_gain = 0x04,
  rtl_tcp_set_freq_correction = 0x05,
  rtl_tcp_set_if_gain = 0x06,
  rtl_tcp_set_test_mode = 0x07,
  rtl_tcp_set_agc_mode = 0x08,
  rtl_tcp_set_direct_sampling = 0x09,
  rtl_tcp_set_offset_tuning = 0x0a,
  rtl_tcp_set_rtl_xtal = 0x0b,
  rtl_tcp_set_tuner_xtal = 0x0c,
  rtl_tcp_set_gain_by_index = 0x0d,
  rtl_tcp_set_bias_tee = 0x0e,
};

// Tuner types as the header numbers them (librtlsdr's enum rtlsdr_tuner).
enum RtlTcpTuner : uint32_t {
  rtl_tcp_tuner_unknown = 0,
  rtl_tcp_tuner_e4000 = 1,
  rtl_tcp_tuner_fc0012 = 2,
  rtl_tcp_tuner_fc0013 = 3,
  rtl_tcp_tuner_fc2580 = 4,
  rtl_tcp_tuner_r820t = 5,
  rtl_tcp_tuner_r828d = 6,
};

struct RtlTcpHeader {
  char magic[4];
  uint32_t tuner_type;
  uint32_t gain_count;
};

inline void put_be32(uint8_t* out, uint32_t value) {
  out[0] = static_cast<uint8_t>(value >> 24);
  out[1] = static_cast<uint8_t>(value >> 16);
  out[2] = static_cast<uint8_t>(value >> 8);
  out[3] = static_cast<uint8_t>(value);
}

inline uint32_t get_be32(const uint8_t* in) {
  return uint32_t{in[0]} << 24 | uint32_t{in[1]} << 16 | uint32_t{in[2]} << 8 | uint32_t{in[3]};
}

void rtl_tcp_encode_header(const RtlTcpHeader& header, uint8_t out[rtl_tcp_header_bytes]);
RtlTcpHeader rtl_tcp_decode_header(const uint8_t in[rtl_tcp_header_bytes]);
void rtl_tcp_encode_command(uint8_t command, uint32_t parameter,
                            uint8_t out[rtl_tcp_command_bytes]);

// The tuner's name for the device listing ("R820T"); "unknown" for a type not listed.
const char* rtl_tcp_tuner_name(uint32_t tuner_type);

// The gain steps librtlsdr lists for a tuner type, in tenths of a dB; *count gets their
// number. Tuners without a gain list (FC2580, unknown) list the single entry 0.
const int* rtl_tcp_tuner_gains(uint32_t tuner_type, int* count);

// "HOST", "HOST:PORT", "[IPV6]" or "[IPV6]:PORT", with the port default_port when absent.
// A bare IPv6 address needs its brackets. False for an empty host or a port outside
// 1..65535 (0 too when zero_port is set, for a server asked to pick a free port).
bool parse_host_port(const char* text, uint16_t default_port, bool zero_port, std::string& host,
                     uint16_t& port);

// HOST:PORT as shown to the user, IPv6 addresses in brackets.
std::string host_port_text(const std::string& host, uint16_t port);
