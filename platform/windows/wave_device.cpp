// Wave devices on winmm. The device signals one auto-reset event (CALLBACK_EVENT) when it
// opens and whenever a buffer comes back, so two buffers finishing before the worker
// waits would merge into one wake-up. The completion signals are therefore counted from
// the headers themselves: each header marked done, taken in the order the headers were
// queued, is one signal, and the event only tells the worker when to look again.
#include <atomic>
#include <cstring>
#include <vector>

#include <windows.h>
#include <mmsystem.h>

#include "platform/audio_devices.h"
#include "platform/wave_device.h"

namespace {

// More headers than the two a worker keeps queued, so a worker that refills a buffer
// after a wait that ran out is never refused while the device is still behind.
constexpr unsigned device_slots = 4;

// The wave mapper's message that names its preferred device (DRVM_MAPPER_PREFERRED_GET of
// the driver kit's mmddk.h, which the ordinary headers lack).
constexpr UINT mapper_preferred_get = 0x2000 + 21;

// winmm's answers for a device that is no longer there (a USB card pulled, the audio
// service restarted): its driver or the handle is gone.
bool device_removed(MMRESULT r) {
  return r == MMSYSERR_NODRIVER || r == MMSYSERR_INVALHANDLE || r == MMSYSERR_BADDEVICEID;
}

// The calls that differ between playback and capture.
struct WaveCalls {
  MMRESULT (*prepare)(HANDLE, WAVEHDR*);
  MMRESULT (*unprepare)(HANDLE, WAVEHDR*);
  MMRESULT (*add)(HANDLE, WAVEHDR*);
  MMRESULT (*reset)(HANDLE);
  MMRESULT (*close)(HANDLE);
  MMRESULT (*position)(HANDLE, MMTIME*);
};

const WaveCalls out_calls = {
    [](HANDLE h, WAVEHDR* w) { return waveOutPrepareHeader(static_cast<HWAVEOUT>(h), w, sizeof *w); },
    [](HANDLE h, WAVEHDR* w) { return waveOutUnprepareHeader(static_cast<HWAVEOUT>(h), w, sizeof *w); },
    [](HANDLE h, WAVEHDR* w) { return waveOutWrite(static_cast<HWAVEOUT>(h), w, sizeof *w); },
    [](HANDLE h) { return waveOutReset(static_cast<HWAVEOUT>(h)); },
    [](HANDLE h) { return waveOutClose(static_cast<HWAVEOUT>(h)); },
    [](HANDLE h, MMTIME* t) { return waveOutGetPosition(static_cast<HWAVEOUT>(h), t, sizeof *t); },
};

const WaveCalls in_calls = {
    [](HANDLE h, WAVEHDR* w) { return waveInPrepareHeader(static_cast<HWAVEIN>(h), w, sizeof *w); },
    [](HANDLE h, WAVEHDR* w) { return waveInUnprepareHeader(static_cast<HWAVEIN>(h), w, sizeof *w); },
    [](HANDLE h, WAVEHDR* w) { return waveInAddBuffer(static_cast<HWAVEIN>(h), w, sizeof *w); },
    [](HANDLE h) { return waveInReset(static_cast<HWAVEIN>(h)); },
    [](HANDLE h) { return waveInClose(static_cast<HWAVEIN>(h)); },
    [](HANDLE h, MMTIME* t) { return waveInGetPosition(static_cast<HWAVEIN>(h), t, sizeof *t); },
};

class WinmmWaveDevice final : public WaveDevice {
 public:
  WinmmWaveDevice(WaveDirection direction, int buffer_bytes)
      : direction_(direction),
        calls_(direction == WaveDirection::playback ? out_calls : in_calls),
        buffer_bytes_(buffer_bytes),
        storage_(static_cast<size_t>(buffer_bytes) * device_slots),
        event_(CreateEventW(nullptr, FALSE, FALSE, nullptr)) {}

  ~WinmmWaveDevice() override {
    if (handle_) {
      // Every header must be back before it can be unprepared and the device closed.
      calls_.reset(handle_);
      for (WAVEHDR& h : headers_) {
        if (h.dwFlags & WHDR_PREPARED) calls_.unprepare(handle_, &h);
      }
      calls_.close(handle_);
    }
    if (event_) CloseHandle(event_);
  }

  bool open(int device_id, const WaveFormat& format) {
    if (!event_) return false;
    WAVEFORMATEX f{};
    f.wFormatTag = WAVE_FORMAT_PCM;
    f.nChannels = static_cast<WORD>(format.channels);
    f.nSamplesPerSec = static_cast<DWORD>(format.sample_rate);
    f.wBitsPerSample = static_cast<WORD>(format.bits_per_sample);
    f.nBlockAlign = static_cast<WORD>(wave_block_align(format));
    f.nAvgBytesPerSec = f.nSamplesPerSec * f.nBlockAlign;
    // -1 becomes WAVE_MAPPER, the system's default device.
    const UINT id = static_cast<UINT>(device_id);
    const DWORD_PTR callback = reinterpret_cast<DWORD_PTR>(event_);
    MMRESULT r;
    if (direction_ == WaveDirection::playback) {
      HWAVEOUT out = nullptr;
      r = waveOutOpen(&out, id, &f, callback, 0, CALLBACK_EVENT);
      handle_ = out;
    } else {
      HWAVEIN in = nullptr;
      r = waveInOpen(&in, id, &f, callback, 0, CALLBACK_EVENT);
      handle_ = in;
    }
    if (r != MMSYSERR_NOERROR) {
      handle_ = nullptr;
      return false;
    }
    for (unsigned i = 0; i < device_slots; ++i) {
      WAVEHDR& h = headers_[i];
      h.lpData = reinterpret_cast<LPSTR>(storage_.data() + static_cast<size_t>(i) * static_cast<size_t>(buffer_bytes_));
      h.dwBufferLength = static_cast<DWORD>(buffer_bytes_);
      if (calls_.prepare(handle_, &h) != MMSYSERR_NOERROR) return false;
    }
    return true;
  }

  bool wait(int timeout_ms) override {
    const ULONGLONG until = GetTickCount64() + static_cast<ULONGLONG>(timeout_ms > 0 ? timeout_ms : 0);
    for (;;) {
      collect();
      if (signalled_ < available_) {
        ++signalled_;
        return true;
      }
      const ULONGLONG now = GetTickCount64();
      if (now >= until) return false;
      // A header finishing after collect() has set the event, so this wakes at once.
      WaitForSingleObject(event_, static_cast<DWORD>(until - now));
    }
  }

  bool queue(const uint8_t* data, int length) override {
    if (length <= 0 || length > buffer_bytes_) return false;
    if (direction_ == WaveDirection::playback && !data) return false;
    collect();
    // A header is free again once the device has finished it (playback) or the worker
    // has taken its recording (capture).
    const unsigned oldest = direction_ == WaveDirection::playback ? done_ : taken_;
    if (tail_ - oldest >= device_slots) return false;
    WAVEHDR& h = headers_[tail_ % device_slots];
    if (direction_ == WaveDirection::playback) {
      std::memcpy(h.lpData, data, static_cast<size_t>(length));
    }
    h.dwBufferLength = static_cast<DWORD>(length);
    h.dwBytesRecorded = 0;
    flags(h).fetch_and(~static_cast<DWORD>(WHDR_DONE));
    const MMRESULT added = calls_.add(handle_, &h);
    if (added != MMSYSERR_NOERROR) {
      removed_ = removed_ || device_removed(added);
      return false;
    }
    ++tail_;
    return true;
  }

  bool take(uint8_t* data, int length) override {
    if (direction_ != WaveDirection::capture) return false;
    collect();
    if (taken_ == done_) return false;
    const WAVEHDR& h = headers_[taken_ % device_slots];
    const int recorded = static_cast<int>(h.dwBytesRecorded);
    const int n = recorded < length ? recorded : length;
    if (n > 0) std::memcpy(data, h.lpData, static_cast<size_t>(n));
    ++taken_;
    return true;
  }

  void start() override {
    if (direction_ == WaveDirection::capture) waveInStart(static_cast<HWAVEIN>(handle_));
  }

  // Both resets mark every header done and return it; collect() then counts each one.
  void reset() override { calls_.reset(handle_); }

  // A refused buffer said so already; otherwise the device is asked where it stands.
  bool failed() override {
    if (removed_) return true;
    MMTIME t{};
    t.wType = TIME_BYTES;
    removed_ = device_removed(calls_.position(handle_, &t));
    return removed_;
  }

 private:
  // The device writes a header's flags from its own thread.
  static std::atomic_ref<DWORD> flags(WAVEHDR& h) { return std::atomic_ref<DWORD>(h.dwFlags); }

  // Counts the headers the device has returned since the last look, oldest first: one
  // completion signal each.
  void collect() {
    while (done_ != tail_ && (flags(headers_[done_ % device_slots]).load() & WHDR_DONE)) {
      ++done_;
      ++available_;
    }
  }

  const WaveDirection direction_;
  const WaveCalls& calls_;
  const int buffer_bytes_;
  std::vector<uint8_t> storage_;
  WAVEHDR headers_[device_slots] = {};
  HANDLE event_;
  HANDLE handle_ = nullptr;
  // The worker's own counts, only ever touched on its thread.
  unsigned tail_ = 0;       // headers queued
  unsigned done_ = 0;       // headers returned by the device
  unsigned taken_ = 0;      // capture: recordings handed to the worker
  unsigned available_ = 1;  // completion signals so far: the opening and each return
  unsigned signalled_ = 0;  // completion signals handed out by wait()
  bool removed_ = false;    // winmm said the device is gone
};

class WinmmWaveBackend final : public WaveBackend {
 public:
  std::unique_ptr<WaveDevice> open(WaveDirection direction, int device_id,
                                   const WaveFormat& format, int buffer_bytes) override {
    if (buffer_bytes <= 0 || format.channels <= 0 || format.sample_rate <= 0) return nullptr;
    auto device = std::make_unique<WinmmWaveDevice>(direction, buffer_bytes);
    if (!device->open(device_id, format)) return nullptr;
    return device;
  }

  std::vector<std::string> device_names(WaveDirection direction) override {
    std::vector<std::string> names;
    const int count = direction == WaveDirection::playback ? wave_out_count() : wave_in_count();
    for (int id = 0; id < count; ++id) names.push_back(device_name(direction, id));
    return names;
  }

  std::string device_name(WaveDirection direction, int device_id) override {
    return direction == WaveDirection::playback ? wave_out_name(device_id) : wave_in_name(device_id);
  }

  bool same_device(WaveDirection direction, int a, int b) override {
    if (a == b) return true;
    if (a != -1 && b != -1) return false;
    return a == -1 ? mapper_device(direction) == b : mapper_device(direction) == a;
  }

 private:
  // The device the wave mapper (-1) plays to or records from now; -1 when it will not say.
  static int mapper_device(WaveDirection direction) {
    DWORD id = 0, flags = 0;
    const DWORD_PTR id_at = reinterpret_cast<DWORD_PTR>(&id), flags_at = reinterpret_cast<DWORD_PTR>(&flags);
    const MMRESULT r = direction == WaveDirection::playback
                           ? waveOutMessage(reinterpret_cast<HWAVEOUT>(static_cast<UINT_PTR>(WAVE_MAPPER)),
                                            mapper_preferred_get, id_at, flags_at)
                           : waveInMessage(reinterpret_cast<HWAVEIN>(static_cast<UINT_PTR>(WAVE_MAPPER)),
                                           mapper_preferred_get, id_at, flags_at);
    return r == MMSYSERR_NOERROR && id != static_cast<DWORD>(-1) ? static_cast<int>(id) : -1;
  }
};

}  // namespace

WaveBackend& system_wave_backend() {
  static WinmmWaveBackend backend;
  return backend;
}
