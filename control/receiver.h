// The receiver as one record: every subsystem's process-wide state, so that a test can
// build a fresh receiver. The programs have one instance for the life of the process.
#pragma once

#include <chrono>
#include <memory>
#include <thread>

#include "audio/audio_channel.h"
#include "control/command_line.h"
#include "control/key_commands.h"
#include "control/recorder.h"
#include "control/rigctl_server.h"
#include "core/rx_state.h"
#include "display/display_thread.h"
#include "dsp/dsp_thread.h"
#include "dsp/fir_filter.h"
#include "dsp/fft_snapshot.h"
#include "tuner/dongle.h"
#include "tuner/tuner_thread.h"
#include "sample_ring/sample_ring.h"
#include "variants/variant.h"

struct Receiver {
  // dongle: the dongle layer the tuner thread talks to.
  Receiver(const Variant& v, std::unique_ptr<DongleApi> dongle);
  // The process's receiver is never destroyed; a test's is, after receiver_join.
  ~Receiver();
  Receiver(const Receiver&) = delete;
  Receiver& operator=(const Receiver&) = delete;

  const Variant& variant;
  RxState state;
  SampleRing ring{};
  WakeEvent ring_stored;  // the tuner's stores (and a stop) end the DSP thread's wait
  FirFilter filter{};
  DspState dsp;
  SpectrumBuffer spectrum;
  AudioSlots audio;
  DisplayState display;
  std::unique_ptr<DongleApi> dongle;
  RigctlServer rigctl;      // the control port, when asked for
  int32_t listen_device = -1;  // the listening channel's wave-output id (audio slot 1)
  FrequencyPrompt prompt;   // key F; the key loop's alone
  Recorder recorder{variant};  // key R, --record, the control port's AOS and LOS
  RecordSettings record_settings;  // where and what key R and AOS record; set at start-up
  DongleOptions dongle_options;    // what the options ask of the dongle; set at start-up

  // The tuner and DSP threads. The programs detach them (they stop on `running`, and
  // whatever has not finished ends with the process); tests keep them to join.
  bool detach_threads = false;
  TunerEnd tuner_end;  // shutdown waits for it, so that the dongle is closed
  std::atomic<uint8_t> tuner_started{0};
  std::thread tuner;
  std::thread dsp_worker;
};

// Start-up and shutdown messages.
inline constexpr const char* loop_start_text = "Начало цикла\n";
inline constexpr const char* loop_end_text = "Окончание цикла\n";
inline constexpr const char* handler_end_text = "Окончание цикла HandlerRoutine\n";
// Before the key loop when standard input is no terminal.
inline constexpr const char* unattended_text =
    "Standard input is not a terminal: running unattended until SIGTERM, SIGINT or SIGHUP\n";
inline constexpr const char* output_failed_text = "Не удалось открыть устройство вывода\n";
// The listening channel's: its output device's id.
inline constexpr const char* baseband_not_played_format =
    "Baseband not played: the listening channel has output device %d\n";
inline constexpr const char* listen_output_failed_format =
    "Listening channel: output device %d could not be opened; no demodulated sound\n";

// Prints the local time line of the banner.
void print_start_time();

// Prints the wave-input and wave-output device lists.
void print_device_lists();

// Takes the listening channel's options: its mode, offset, squelch and de-emphasis go
// into RxState as requests, its output device into the receiver.
void receiver_set_listening(Receiver& receiver, const ReceiverOptions& options);

// Opens audio channel 0 on out_device and, with a listening channel, says so and opens
// channel 1 on its device; when both would have one device, channel 0 stays closed and a
// line says why. A channel that cannot open is reported; the receiver runs on without
// its sound then.
void receiver_open_audio(Receiver& receiver);

// Designs the channel filter, then starts the tuner thread and the DSP thread, which
// waits for the tuner's first stores (and ends if the tuner finds no dongle to read).
void receiver_start_tuner(Receiver& receiver);

// What Esc and a close event share: stops the display (giving it a second to repaint)
// and clears running.
void receiver_stop(Receiver& receiver);

// Waits, after receiver_stop, for the tuner thread to leave its read and close the
// dongle: about one read, never longer than tuner_close_wait (a dongle or server that has
// stopped answering must not hold the shutdown).
inline constexpr std::chrono::milliseconds tuner_close_wait{1000};
void receiver_wait_dongle_closed(Receiver& receiver);

// Waits for the tuner and DSP threads to end (tests only; they end once running is
// cleared).
void receiver_join(Receiver& receiver);

// Starts or stops a recording of what record_settings asks for, at the frequency asked
// for last (key R and the control port's AOS and LOS).
void receiver_record(Receiver& receiver, bool start);
void receiver_toggle_recording(Receiver& receiver);

// Starts the display thread for key V.
void display_start(Receiver& receiver);

// What the keys act on in this receiver.
KeyTargets receiver_keys(Receiver& receiver);

// The dongle RXIQ_DONGLE names. An unknown value is reported through print_console and
// the real library is used.
std::unique_ptr<DongleApi> dongle_from_environment();

// The console control handler: nonzero when the event was consumed.
int HandlerRoutine(int control_type);

// The whole program: start-up, key loop, shutdown. Returns main's result.
int receiver_main(const Variant& variant, int argc, char** argv);
