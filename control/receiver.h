// The receiver as one record: every subsystem's process-wide state, so that a test can
// build a fresh receiver. The programs have one instance for the life of the process.
#pragma once

#include "control/rx_state.h"
#include "display/display_thread.h"
#include "variants/variant.h"

struct Receiver {
  explicit Receiver(const Variant& v) : variant(v), state(v) {}

  const Variant& variant;
  RxState state;
  DisplayState display;
};

// Starts the display thread for key V.
void display_start(Receiver& receiver);

// Start-up and shutdown messages.
inline constexpr const char* loop_start_text = "Начало цикла\n";
inline constexpr const char* loop_end_text = "Окончание цикла\n";
inline constexpr const char* handler_end_text = "Окончание цикла HandlerRoutine\n";
inline constexpr const char* output_failed_text = "Не удалось открыть устройство вывода\n";

// Prints the local time line of the banner.
void print_start_time();

// Prints the wave-input and wave-output device lists.
void print_device_lists();

// The console control handler: nonzero when the event was consumed.
int HandlerRoutine(int control_type);

// The whole program: start-up, key loop, shutdown. Returns main's result.
int receiver_main(const Variant& variant, int argc, char** argv);
