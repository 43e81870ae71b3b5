// What the Linux implementations share among themselves and show no other folder.
#pragma once

#include <semaphore.h>

// Waits on any POSIX semaphore for at most timeout_ms, on the monotonic clock, through
// signal interruptions. True when it was taken.
bool semaphore_wait_for(sem_t* sem, int timeout_ms);

// PortAudio's device index for a wave id of that direction, or -1 (paNoDevice) if there
// is none.
int wave_out_portaudio_index(int id);
int wave_in_portaudio_index(int id);
