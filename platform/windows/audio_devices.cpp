#include "platform/audio_devices.h"

#include <windows.h>
#include <mmsystem.h>

namespace {

std::string utf8_of(const wchar_t* text) {
  const int length = WideCharToMultiByte(CP_UTF8, 0, text, -1, nullptr, 0, nullptr, nullptr);
  if (length <= 1) return "";
  std::string out(static_cast<size_t>(length), '\0');
  WideCharToMultiByte(CP_UTF8, 0, text, -1, out.data(), length, nullptr, nullptr);
  out.pop_back();  // the terminator
  return out;
}

}  // namespace

// winmm needs no start; its device list is there from the first call.
bool audio_system_start() { return true; }

int wave_out_count() { return static_cast<int>(waveOutGetNumDevs()); }
int wave_in_count() { return static_cast<int>(waveInGetNumDevs()); }

// Id -1 is WAVE_MAPPER, the system's default device.
std::string wave_out_name(int id) {
  WAVEOUTCAPSW caps{};
  if (waveOutGetDevCapsW(static_cast<UINT_PTR>(static_cast<UINT>(id)), &caps, sizeof caps) != MMSYSERR_NOERROR) {
    return "";
  }
  return utf8_of(caps.szPname);
}

std::string wave_in_name(int id) {
  WAVEINCAPSW caps{};
  if (waveInGetDevCapsW(static_cast<UINT_PTR>(static_cast<UINT>(id)), &caps, sizeof caps) != MMSYSERR_NOERROR) {
    return "";
  }
  return utf8_of(caps.szPname);
}

std::vector<std::string> wave_out_names() {
  std::vector<std::string> names;
  const int count = wave_out_count();
  for (int id = 0; id < count; ++id) names.push_back(wave_out_name(id));
  return names;
}
