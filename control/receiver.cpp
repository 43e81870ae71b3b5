#include "control/receiver.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <clocale>
#include <memory>
#include <string>
#include <thread>

#include "audio/audio_channel.h"
#include "control/command_line.h"
#include "control/key_commands.h"
#include "control/listening.h"
#include "control/loss_report.h"
#include "control/output_device.h"
#include "core/print_console.h"
#include "platform/audio_devices.h"
#include "platform/control_events.h"
#include "platform/local_time.h"
#include "terminal/key_loop.h"
#include "platform/terminal.h"
#include "terminal/terminal_graphics.h"
#include "platform/thread_name.h"
#include "tuner/tuner_thread.h"

namespace {

// The process's receiver, reached by the control handler's thread.
std::atomic<Receiver*> process_receiver{nullptr};

constexpr auto display_stop_wait = std::chrono::milliseconds(1000);

// Set when standard input is no terminal (a service, nohup, a pipe): nobody is there to
// press Esc, so Ctrl+C (SIGINT) ends the receiver as SIGTERM does. Written before the
// signal thread starts.
std::atomic<bool> unattended{false};

// Set while Ctrl+Z has taken the picture away, so that fg brings it back.
std::atomic<bool> display_suspended{false};

// Before the shell gets the terminal: the picture goes, and with it the scroll region.
void take_picture_away() {
  Receiver* receiver = process_receiver.load();
  if (!receiver || receiver->state.display_run.load() != 1) return;
  receiver->state.display_run.store(0);
  display_wait_end(receiver->display);
  display_suspended.store(true);
}

// After fg: the picture returns if it was there before the stop.
void bring_picture_back() {
  Receiver* receiver = process_receiver.load();
  if (!receiver || !display_suspended.exchange(false)) return;
  RxState& s = receiver->state;
  if (s.running.load() == 0 || s.display_on.load() == 0) return;
  s.display_run.store(1);
  display_start(s, receiver->display);
}

// Finished PCM blocks go to audio channel 0; a refused block is dropped. The audio ring
// holds whole blocks, so the two sizes are one.
static_assert(block_bytes == audio_block_bytes, "a PCM block from the DSP thread fills one audio block");
// The baseband goes to the recording as well while one runs: one relaxed load otherwise.
int write_to_channel_0(void* receiver, const void* data, int length) {
  Receiver& r = *static_cast<Receiver*>(receiver);
  if (r.recorder.on.load(std::memory_order_relaxed)) recorder_block(r.recorder, false, data, length);
  return audio_write(r.audio, 0, data, length);
}

// The tuner's and the DSP thread's taps for the recording.
void record_raw_block(void* recorder, const uint8_t* block, int32_t bytes) {
  Recorder& r = *static_cast<Recorder*>(recorder);
  if (r.on.load(std::memory_order_relaxed)) recorder_block(r, true, block, bytes);
}
void record_retune(void* recorder, uint64_t first_store, uint32_t frequency) {
  recorder_retune(*static_cast<Recorder*>(recorder), first_store, frequency);
}
void record_slot_start(void* recorder, uint64_t store, int32_t frames_collected) {
  recorder_slot_start(*static_cast<Recorder*>(recorder), store, frames_collected);
}

// The listening channel's blocks go to audio channel 1.
static_assert(listen_block_frames * 2 * 2 == audio_block_bytes, "a listening block fills one audio block");
int write_to_channel_1(void* slots, const void* data, int length) {
  return audio_write(*static_cast<AudioSlots*>(slots), 1, data, length);
}

bool listening(const Receiver& r) { return r.state.listen_mode.load(std::memory_order_relaxed) != 0; }

DspLinks dsp_links(Receiver& r) {
  DspLinks links{r.state, r.ring, r.filter, r.dsp, r.spectrum,
                 BlockSink{write_to_channel_0, &r}};
  links.ring_stored = &r.ring_stored;
  links.slot_start = record_slot_start;
  links.slot_context = &r.recorder;
  if (listening(r)) links.listen_sink = BlockSink{write_to_channel_1, &r.audio};
  return links;
}

bool on_key(void* receiver, int virtual_key) {
  return key_command(receiver_keys(*static_cast<Receiver*>(receiver)), virtual_key);
}

int64_t steady_ms() {
  return std::chrono::duration_cast<std::chrono::milliseconds>(
             std::chrono::steady_clock::now().time_since_epoch())
      .count();
}

// Replaces the status file in one step, so that a reader never sees half of it.
void write_status_file(const char* path, const std::string& text) {
  const std::string temporary = std::string(path) + ".tmp";
  std::FILE* file = std::fopen(temporary.c_str(), "wb");
  if (!file) return;
  const bool whole = std::fwrite(text.data(), 1, text.size(), file) == text.size();
  if (std::fclose(file) == 0 && whole) std::rename(temporary.c_str(), path);
}

// Looks at the counts once a second: prints the lost-audio line when it is due and
// keeps the status file current.
struct LossWatch {
  LossReport report;
  int64_t next_ms = 0;
  const char* status_path = std::getenv("RXIQ_STATUS");

  void check(Receiver& receiver) {
    const int64_t now = steady_ms();
    if (now < next_ms) return;
    next_ms = now + key_idle_ms;
    // Both channels' losses together; a channel that is not open counts nothing.
    const AudioLosses baseband = audio_losses(receiver.audio, 0);
    const AudioLosses listen = audio_losses(receiver.audio, 1);
    const LossCounts counts{baseband.dropped + listen.dropped,
                            receiver.dsp.overruns.load(std::memory_order_relaxed),
                            baseband.underruns + listen.underruns,
                            receiver.recorder.dropped.load(std::memory_order_relaxed),
                            receiver.state.failed_reads.load(std::memory_order_relaxed)};
    if (loss_report_due(report, counts, now)) print_console("%s", loss_report_text(counts).c_str());
    if (status_path && *status_path) {
      write_status_file(status_path, loss_status_text(counts, std::max(baseband.backlog, listen.backlog),
                                                      baseband.start_dropped + listen.start_dropped));
    }
  }
};

void on_idle(void* receiver) {
  static LossWatch losses;
  losses.check(*static_cast<Receiver*>(receiver));
}

}  // namespace

Receiver::Receiver(const Variant& v, std::unique_ptr<DongleApi> d)
    : variant(v), state(v), dongle(std::move(d)) {
  display_attach(display, variant, spectrum, print_console);
}

Receiver::~Receiver() {
  rigctl_stop(rigctl);
  state.running.store(0);
  wake_event_set(ring_stored);
  receiver_join(*this);
}

void receiver_set_listening(Receiver& r, const ReceiverOptions& options) {
  RxState& s = r.state;
  s.listen_mode.store(static_cast<int32_t>(options.listen.mode), std::memory_order_relaxed);
  s.listen_offset.store(options.listen.offset_hz, std::memory_order_relaxed);
  s.squelch.store(options.squelch, std::memory_order_relaxed);
  s.fm_deemphasis_us.store(options.fm_deemphasis_us, std::memory_order_relaxed);
  s.wfm_deemphasis_us.store(options.wfm_deemphasis_us, std::memory_order_relaxed);
  r.listen_device = options.listen_device;
}

void receiver_open_audio(Receiver& r) {
  // A worker's lines about a lost device and its return.
  r.audio.notice = [](void*, const char* line) { print_console("%s", line); };
  const int32_t baseband_device = r.state.out_device.load();
  bool play_baseband = true;
  if (listening(r)) {
    const auto mode = static_cast<ListenMode>(r.state.listen_mode.load(std::memory_order_relaxed));
    const int32_t offset = r.state.listen_offset.load(std::memory_order_relaxed);
    print_console("%s on output device %d\n", listening_text(mode, offset).c_str(), r.listen_device);
    // One device cannot take two streams everywhere, and the demodulated sound is what
    // a person on that device wants to hear.
    play_baseband = !r.audio.backend->same_device(WaveDirection::playback, r.listen_device, baseband_device);
    if (!play_baseband) print_console(baseband_not_played_format, r.listen_device);
  }
  if (play_baseband && audio_open(r.audio, 0, 1, r.variant.frame_rate, 2, baseband_device) == 0) {
    print_console("%s", output_failed_text);
  }
  if (listening(r) && audio_open(r.audio, 1, 1, r.variant.frame_rate, 2, r.listen_device) == 0) {
    print_console(listen_output_failed_format, r.listen_device);
  }
}

void receiver_start_tuner(Receiver& r) {
  fir_init_channel(r.filter, r.variant);
  listen_set_rates(r.dsp.listen, r.variant.sample_rate, r.variant.frame_rate);
  TunerLinks links{r.state, r.variant, *r.dongle, r.ring, &r.ring_stored};
  links.end = &r.tuner_end;
  links.options = r.dongle_options;
  // The raw stream is recorded here rather than where the DSP thread takes it: the same
  // thread stores the blocks and applies the retunes, so a segment's sample index is
  // exact, and a block the DSP thread loses to an overrun is still recorded.
  links.stored = record_raw_block;
  links.retuned = record_retune;
  links.tap_context = &r.recorder;
  r.tuner_started.store(1, std::memory_order_relaxed);
  r.tuner = std::thread([links] {
    name_current_thread("tuner");
    tuner_thread(links);
  });
  r.dsp_worker = std::thread([links = dsp_links(r)] {
    name_current_thread("dsp");
    dsp_thread(links);
  });
  if (r.detach_threads) {
    r.tuner.detach();
    r.dsp_worker.detach();
  }
}

void receiver_stop(Receiver& receiver) {
  RxState& s = receiver.state;
  if (s.display_run.load() == 1) {
    s.display_run.store(0);
    std::this_thread::sleep_for(display_stop_wait);
  }
  s.running.store(0);
  // The DSP thread leaves its wait for samples now rather than at its time limit.
  wake_event_set(receiver.ring_stored);
  rigctl_stop(receiver.rigctl);
}

void receiver_wait_dongle_closed(Receiver& receiver) {
  // A receiver whose tuner never started has no dongle to wait for.
  if (receiver.tuner_started.load(std::memory_order_relaxed) != 0) {
    tuner_end_wait(receiver.tuner_end, tuner_close_wait);
  }
}

void receiver_join(Receiver& receiver) {
  if (receiver.tuner.joinable()) receiver.tuner.join();
  if (receiver.dsp_worker.joinable()) receiver.dsp_worker.join();
}

void display_start(Receiver& receiver) { display_start(receiver.state, receiver.display); }

void receiver_record(Receiver& receiver, bool start) {
  if (!start) {
    recorder_stop(receiver.recorder);
    return;
  }
  recorder_start(receiver.recorder, receiver.record_settings,
                 static_cast<uint32_t>(receiver.state.frequency.load(std::memory_order_relaxed)));
}

void receiver_toggle_recording(Receiver& receiver) {
  recorder_toggle(receiver.recorder, receiver.record_settings,
                  static_cast<uint32_t>(receiver.state.frequency.load(std::memory_order_relaxed)));
}

KeyTargets receiver_keys(Receiver& receiver) {
  return KeyTargets{receiver.state, receiver.variant,
                    [](void* r) { display_start(*static_cast<Receiver*>(r)); }, &receiver,
                    &receiver.prompt,
                    [](void* r) { receiver_toggle_recording(*static_cast<Receiver*>(r)); }};
}

void print_start_time() {
  const LocalTime local = local_time_now();
  char text[64];
  // Two-digit year counted from 2000, as the banner has always shown it.
  std::snprintf(text, sizeof text, "%02d:%02d:%02d %02d/%02d/%02d", local.hour, local.minute,
                local.second, local.day, local.month, local.year - 2000);
  print_console("%s\n", text);
}

void print_device_lists() {
  int inputs = wave_in_count();
  print_console("Входные устройства \n\n");
  for (int id = -1; id < inputs; ++id) print_console("%d  %s\n", id, wave_in_name(id).c_str());
  int outputs = wave_out_count();
  print_console("\nВыходные устройства \n \n");
  // Each as --device and --listen-device take it.
  for (int id = -1; id < outputs; ++id) print_console("%d  %s\n", id, typed_name(wave_out_name(id)).c_str());
}

int HandlerRoutine(int control_type) {
  if (control_type == ctrl_c_event && unattended.load(std::memory_order_relaxed)) control_type = ctrl_close_event;
  Receiver* receiver = process_receiver.load();
  if (control_type == ctrl_close_event || control_type == ctrl_logoff_event ||
      control_type == ctrl_shutdown_event) {
    if (receiver) {
      receiver_stop(*receiver);
      receiver_wait_dongle_closed(*receiver);
      // As after Esc: the picture is gone, and the display thread ended and joined,
      // before the terminal is handed back and the process ends.
      display_close(receiver->display);
      recorder_stop(receiver->recorder);
      audio_close(receiver->audio, 0);
      audio_close(receiver->audio, 1);
    }
    print_console_last("%s", handler_end_text);
    return 0;
  }
  print_console("dwCtrlType = %X\n", static_cast<unsigned>(control_type));
  return 1;
}

int receiver_main(const Variant& variant, int argc, char** argv) {
  // A descriptor left closed (by a service manager or a parent) must not become a file's.
  standard_streams_keep_open();
  unattended.store(!terminal_is(standard_input), std::memory_order_relaxed);
  ReceiverOptions options;
  std::string error;
  if (!parse_options(variant, argc, argv, options, error)) {
    std::fprintf(stderr, "%s: %s (see %s --help)\n", variant.program_name, error.c_str(),
                 variant.program_name);
    return 2;
  }
  if (!choose_output_devices(system_wave_backend(), options, error)) {
    std::fprintf(stderr, "%s: %s\n", variant.program_name, error.c_str());
    return 2;
  }
  std::setlocale(LC_ALL, "");
  // Control signals go to one waiting thread only; every later thread inherits this.
  control_events_block();
  terminal_restore_on_fatal_signals();

  // Lives until the process ends: threads that are never joined may still use it.
  Receiver* receiver = new Receiver(variant, dongle_from_environment());
  receiver->detach_threads = true;
  process_receiver.store(receiver);

  parse_command_line(receiver->state, argc, argv);
  if (options.device >= -1) receiver->state.out_device.store(options.device);  // --device wins
  receiver_set_listening(*receiver, options);
  control_events_install(HandlerRoutine);
  control_events_set_job_hooks(take_picture_away, bring_picture_back);
  print_console("%s", loop_start_text);
  print_start_time();
  audio_system_start();
  print_device_lists();
  receiver_open_audio(*receiver);
  receiver->record_settings = options.record;
  receiver->dongle_options = options.dongle;
  receiver_start_tuner(*receiver);
  if (options.record_at_start) receiver_record(*receiver, true);
  if (options.rigctl) {
    receiver->rigctl.address = options.rigctl_address;
    receiver->rigctl.port = options.rigctl_port;
    receiver->rigctl.pass_mark = [](void* r, bool start) { receiver_record(*static_cast<Receiver*>(r), start); };
    receiver->rigctl.pass_context = receiver;
    rigctl_start(receiver->rigctl, receiver->state, variant, &receiver->dsp.level_dbfs,
                 &receiver->dsp.listen.squelch_open);
  }
  if (unattended.load(std::memory_order_relaxed)) print_console("%s", unattended_text);
  if (terminal_enter_raw(standard_input)) terminal_graphics_probe(standard_input, standard_output);

  key_input_loop(standard_input, on_key, on_idle, receiver);

  receiver_stop(*receiver);
  receiver_wait_dongle_closed(*receiver);
  // The picture must be gone before the terminal is handed back; only the main thread
  // joins the display thread.
  display_close(receiver->display);
  recorder_stop(receiver->recorder);
  print_console_last("%s", loop_end_text);
  audio_close(receiver->audio, 0);
  audio_close(receiver->audio, 1);
  control_events_remove();
  terminal_restore();
  return 0;
}
