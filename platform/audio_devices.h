// The machine's sound devices, numbered as wave devices: wave-output ids 0 to n-1 are
// PortAudio's devices with output channels in PortAudio's order, wave-input ids
// likewise for input; id -1 is the default device of that direction.
#pragma once

#include <string>
#include <vector>

// Starts PortAudio once per process, with ALSA's and JACK's own diagnostics silenced.
// Returns false if PortAudio cannot start (then there are no devices).
bool audio_system_start();

int wave_out_count();
int wave_in_count();

// Product name of a device; id -1 names the default device. "" if there is none.
std::string wave_out_name(int id);
std::string wave_in_name(int id);

// The names of wave-output ids 0 to n-1, read at once.
std::vector<std::string> wave_out_names();
