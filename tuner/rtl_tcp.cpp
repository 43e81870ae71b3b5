#include "tuner/rtl_tcp.h"

#include <cstring>

namespace {

// Tenths of a dB, as librtlsdr lists them for each tuner.
constexpr int e4000_gains[] = {-10, 15, 40, 65, 90, 115, 140, 165, 190, 215, 240, 290, 340, 420};
constexpr int fc0012_gains[] = {-99, -40, 71, 179, 192};
constexpr int fc0013_gains[] = {-99, -73, -65, -63, -60, -58, -54, 58,  61,  63,  65, 67,
                                68,  70,  71,  179, 181, 182, 184, 186, 188, 191, 197};
constexpr int r82xx_gains[] = {0,   9,   14,  27,  37,  77,  87,  125, 144, 157,
                               166, 197, 207, 229, 254, 280, 297, 328, 338, 364,
                               372, 386, 402, 421, 434, 439, 445, 480, 496};
constexpr int no_gains[] = {0};

template <size_t n>
const int* listed(const int (&gains)[n], int* count) {
  *count = static_cast<int>(n);
  return gains;
}

bool parse_port(const char* text, bool zero_port, uint16_t& port) {
  if (*text == '\0' || std::strlen(text) > 5) return false;
  uint32_t value = 0;
  for (const char* c = text; *c; ++c) {
    if (*c < '0' || *c > '9') return false;
    value = value * 10 + static_cast<uint32_t>(*c - '0');
  }
  if (value > 65535 || (value == 0 && !zero_port)) return false;
  port = static_cast<uint16_t>(value);
  return true;
}

}  // namespace

void rtl_tcp_encode_header(const RtlTcpHeader& header, uint8_t out[rtl_tcp_header_bytes]) {
  std::memcpy(out, header.magic, 4);
  put_be32(out + 4, header.tuner_type);
  put_be32(out + 8, header.gain_count);
}

RtlTcpHeader rtl_tcp_decode_header(const uint8_t in[rtl_tcp_header_bytes]) {
  RtlTcpHeader header{};
  std::memcpy(header.magic, in, 4);
  header.tuner_type = get_be32(in + 4);
  header.gain_count = get_be32(in + 8);
  return header;
}

void rtl_tcp_encode_command(uint8_t command, uint32_t parameter,
                            uint8_t out[rtl_tcp_command_bytes]) {
  out[0] = command;
  put_be32(out + 1, parameter);
}

const char* rtl_tcp_tuner_name(uint32_t tuner_type) {
  switch (tuner_type) {
    case rtl_tcp_tuner_e4000: return "E4000";
    case rtl_tcp_tuner_fc0012: return "FC0012";
    case rtl_tcp_tuner_fc0013: return "FC0013";
    case rtl_tcp_tuner_fc2580: return "FC2580";
    case rtl_tcp_tuner_r820t: return "R820T";
    case rtl_tcp_tuner_r828d: return "R828D";
    default: return "unknown";
  }
}

const int* rtl_tcp_tuner_gains(uint32_t tuner_type, int* count) {
  switch (tuner_type) {
    case rtl_tcp_tuner_e4000: return listed(e4000_gains, count);
    case rtl_tcp_tuner_fc0012: return listed(fc0012_gains, count);
    case rtl_tcp_tuner_fc0013: return listed(fc0013_gains, count);
    case rtl_tcp_tuner_r820t:
    case rtl_tcp_tuner_r828d: return listed(r82xx_gains, count);
    default: return listed(no_gains, count);
  }
}

bool parse_host_port(const char* text, uint16_t default_port, bool zero_port, std::string& host,
                     uint16_t& port) {
  if (text == nullptr) return false;
  std::string found;
  const char* rest = nullptr;  // what follows the host: "" or ":PORT"
  if (*text == '[') {
    const char* end = std::strchr(text, ']');
    if (end == nullptr) return false;
    found.assign(text + 1, end);
    if (found.find_first_of("[]") != std::string::npos) return false;
    rest = end + 1;
  } else {
    const char* colon = std::strchr(text, ':');
    if (colon != nullptr && std::strchr(colon + 1, ':') != nullptr) return false;  // bare IPv6
    found = colon ? std::string(text, colon) : std::string(text);
    rest = colon ? colon : text + found.size();
  }
  if (found.empty()) return false;
  uint16_t number = default_port;
  if (*rest == ':') {
    if (!parse_port(rest + 1, zero_port, number)) return false;
  } else if (*rest != '\0') {
    return false;
  }
  host = found;
  port = number;
  return true;
}

std::string host_port_text(const std::string& host, uint16_t port) {
  bool v6 = host.find(':') != std::string::npos;
  return (v6 ? "[" + host + "]" : host) + ":" + std::to_string(port);
}
