#include "control/receiver.h"

#include <cerrno>
#include <chrono>
#include <clocale>
#include <ctime>
#include <memory>
#include <poll.h>
#include <thread>
#include <unistd.h>
#include <vector>

#include "audio/audio_channel.h"
#include "control/command_line.h"
#include "control/key_commands.h"
#include "core/print_console.h"
#include "platform/audio_devices.h"
#include "platform/control_events.h"
#include "platform/key_decoder.h"
#include "platform/terminal.h"
#include "platform/terminal_graphics.h"
#include "platform/thread_name.h"
#include "tuner/tuner_thread.h"

namespace {

// The process's receiver, reached by the control handler's thread.
std::atomic<Receiver*> process_receiver{nullptr};

constexpr auto display_stop_wait = std::chrono::milliseconds(1000);

// Finished PCM blocks go to audio channel 0; a refused block is dropped.
int write_to_channel_0(void* slots, const void* data, int length) {
  return audio_write(*static_cast<AudioSlots*>(slots), 0, data, length);
}

DspLinks dsp_links(Receiver& r) {
  DspLinks links{r.state, r.ring, r.filter, r.dsp, r.spectrum,
                 BlockSink{write_to_channel_0, &r.audio}};
  links.ring_stored = &r.ring_stored;
  return links;
}

// Reads keys until Esc. End of input without Esc leaves the receiver running until a
// close or shutdown event ends the process.
void key_loop(Receiver& receiver, int fd) {
  KeyDecoder decoder;
  std::vector<int> keys;
  uint8_t bytes[256];
  for (;;) {
    pollfd p{fd, POLLIN, 0};
    int ready = ::poll(&p, 1, key_decoder_waiting(decoder) ? lone_escape_ms : -1);
    if (ready < 0 && errno == EINTR) continue;
    keys.clear();
    if (ready == 0) {
      key_decoder_timeout(decoder, keys);
    } else {
      ssize_t n = ::read(fd, bytes, sizeof bytes);
      if (n < 0 && (errno == EINTR || errno == EAGAIN)) continue;
      if (n <= 0) {
        key_decoder_timeout(decoder, keys);  // an ESC right before the end still counts
        for (int key : keys) {
          if (!key_command(receiver, key)) return;
        }
        for (;;) ::pause();  // unattended: only a control event ends the process now
      }
      for (ssize_t i = 0; i < n; ++i) key_decoder_feed(decoder, bytes[i], keys);
    }
    for (int key : keys) {
      if (!key_command(receiver, key)) return;
    }
  }
}

}  // namespace

Receiver::Receiver(const Variant& v, std::unique_ptr<DongleApi> d)
    : variant(v), state(v), dongle(std::move(d)) {
  display_attach(display, variant, spectrum, print_console);
}

Receiver::~Receiver() {
  state.running.store(0);
  wake_event_set(ring_stored);
  receiver_join(*this);
}

void receiver_open_audio(Receiver& r) {
  if (audio_open(r.audio, 0, 1, r.variant.frame_rate, 2, r.state.out_device.load()) == 0) {
    print_console("%s", output_failed_text);
  }
}

void receiver_start_tuner(Receiver& r) {
  TunerLinks links{r.state, r.variant, *r.dongle, r.ring, r.filter, [&r] {
                     r.dsp_worker = std::thread([links = dsp_links(r)] {
                       name_current_thread("dsp");
                       dsp_thread(links);
                     });
                     if (r.detach_threads) r.dsp_worker.detach();
                   }};
  links.ring_stored = &r.ring_stored;
  r.tuner = std::thread([links] {
    name_current_thread("tuner");
    tuner_thread(links);
  });
  if (r.detach_threads) r.tuner.detach();
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
}

void receiver_join(Receiver& receiver) {
  if (receiver.tuner.joinable()) receiver.tuner.join();
  if (receiver.dsp_worker.joinable()) receiver.dsp_worker.join();
}

void display_start(Receiver& receiver) { display_start(receiver.state, receiver.display); }

void print_start_time() {
  std::time_t now = std::time(nullptr);
  std::tm local{};
  localtime_r(&now, &local);
  char text[64];
  std::snprintf(text, sizeof text, "%02d:%02d:%02d %02d/%02d/%02d", local.tm_hour, local.tm_min,
                local.tm_sec, local.tm_mday, local.tm_mon + 1, local.tm_year - 100);
  print_console("%s\n", text);
}

void print_device_lists() {
  int inputs = wave_in_count();
  print_console("Входные устройства \n\n");
  for (int id = -1; id < inputs; ++id) print_console("%d  %s\n", id, wave_in_name(id).c_str());
  int outputs = wave_out_count();
  print_console("\nВыходные устройства \n \n");
  for (int id = -1; id < outputs; ++id) print_console("%d  %s\n", id, wave_out_name(id).c_str());
}

int HandlerRoutine(int control_type) {
  Receiver* receiver = process_receiver.load();
  if (control_type == ctrl_close_event || control_type == ctrl_logoff_event ||
      control_type == ctrl_shutdown_event) {
    if (receiver) {
      receiver_stop(*receiver);
      audio_close(receiver->audio, 0);
    }
    print_console("%s", handler_end_text);
    return 0;
  }
  print_console("dwCtrlType = %X\n", static_cast<unsigned>(control_type));
  return 1;
}

int receiver_main(const Variant& variant, int argc, char** argv) {
  std::setlocale(LC_ALL, "");
  // Control signals go to one waiting thread only; every later thread inherits this.
  control_events_block();
  terminal_restore_on_fatal_signals();

  // Lives until the process ends: threads that are never joined may still use it.
  Receiver* receiver = new Receiver(variant, dongle_from_environment());
  receiver->detach_threads = true;
  process_receiver.store(receiver);

  parse_command_line(receiver->state, argc, argv);
  control_events_install(HandlerRoutine);
  print_console("%s", loop_start_text);
  print_start_time();
  audio_system_start();
  print_device_lists();
  receiver_open_audio(*receiver);
  receiver_start_tuner(*receiver);
  if (terminal_enter_raw(STDIN_FILENO)) terminal_graphics_probe(STDIN_FILENO, STDOUT_FILENO);

  key_loop(*receiver, STDIN_FILENO);

  receiver_stop(*receiver);
  // The picture must be gone before the terminal is handed back; only the main thread
  // joins the display thread.
  display_wait_end(receiver->display);
  print_console("%s", loop_end_text);
  audio_close(receiver->audio, 0);
  control_events_remove();
  terminal_restore();
  return 0;
}
