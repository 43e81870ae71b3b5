#include "platform/audio_devices.h"
#include "platform/linux/posix_support.h"

#include <alsa/asoundlib.h>
#include <jack/jack.h>
#include <mutex>
#include <portaudio.h>

namespace {

void quiet_alsa(const char*, int, const char*, int, const char*, ...) {}
void quiet_jack(const char*) {}

bool start_once() {
  // ALSA and JACK print to stderr when a card or server is missing; these hooks are
  // theirs, so the receiver's own stderr stays open.
  snd_lib_error_set_handler(quiet_alsa);
  jack_set_error_function(quiet_jack);
  jack_set_info_function(quiet_jack);
  return Pa_Initialize() == paNoError;
}

// Whether PortAudio is started now; a restart that failed leaves it stopped. Under
// portaudio_lock().
bool live = false;

}  // namespace

// The index-th PortAudio device that has channels in the wanted direction.
int portaudio_index_locked(int id, bool output) {
  if (!live) return paNoDevice;
  if (id == -1) return output ? Pa_GetDefaultOutputDevice() : Pa_GetDefaultInputDevice();
  if (id < 0) return paNoDevice;
  int count = Pa_GetDeviceCount();
  int seen = 0;
  for (int i = 0; i < count; ++i) {
    const PaDeviceInfo* info = Pa_GetDeviceInfo(i);
    if (!info) continue;
    int channels = output ? info->maxOutputChannels : info->maxInputChannels;
    if (channels > 0 && seen++ == id) return i;
  }
  return paNoDevice;
}

namespace {

int portaudio_index(int id, bool output) {
  if (!audio_system_start()) return paNoDevice;
  std::lock_guard<std::mutex> lock(portaudio_lock());
  return portaudio_index_locked(id, output);
}

int direction_count(bool output) {
  if (!audio_system_start()) return 0;
  std::lock_guard<std::mutex> lock(portaudio_lock());
  if (!live) return 0;
  int count = Pa_GetDeviceCount();
  int n = 0;
  for (int i = 0; i < count; ++i) {
    const PaDeviceInfo* info = Pa_GetDeviceInfo(i);
    if (info && (output ? info->maxOutputChannels : info->maxInputChannels) > 0) ++n;
  }
  return n;
}

// The name of wave id `id`, copied while the list cannot change.
std::string device_name(int id, bool output) {
  if (!audio_system_start()) return "";
  std::lock_guard<std::mutex> lock(portaudio_lock());
  const int index = portaudio_index_locked(id, output);
  if (index < 0) return "";
  const PaDeviceInfo* info = Pa_GetDeviceInfo(index);
  return info && info->name ? info->name : "";
}

}  // namespace

std::mutex& portaudio_lock() {
  static std::mutex m;
  return m;
}

bool audio_system_start() {
  static std::once_flag once;
  static bool started = false;
  std::call_once(once, [] {
    started = start_once();
    std::lock_guard<std::mutex> lock(portaudio_lock());
    live = started;
  });
  return started;
}

void portaudio_restart_locked(int open_streams) {
  // Only after a stream was opened, so audio_system_start has run (and is not called here:
  // its first run takes this lock).
  if (open_streams > 0) return;
  if (live) Pa_Terminate();
  live = Pa_Initialize() == paNoError;
}

int wave_out_count() { return direction_count(true); }
int wave_in_count() { return direction_count(false); }
std::string wave_out_name(int id) { return device_name(id, true); }
std::string wave_in_name(int id) { return device_name(id, false); }

std::vector<std::string> wave_out_names() {
  std::vector<std::string> names;
  if (!audio_system_start()) return names;
  std::lock_guard<std::mutex> lock(portaudio_lock());
  if (!live) return names;
  const int count = Pa_GetDeviceCount();
  for (int i = 0; i < count; ++i) {
    const PaDeviceInfo* info = Pa_GetDeviceInfo(i);
    if (info && info->maxOutputChannels > 0) names.emplace_back(info->name ? info->name : "");
  }
  return names;
}
int wave_out_portaudio_index(int id) { return portaudio_index(id, true); }
int wave_in_portaudio_index(int id) { return portaudio_index(id, false); }
