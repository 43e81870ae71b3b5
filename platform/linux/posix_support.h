// What the Linux implementations share among themselves and show no other folder.
#pragma once

#include <mutex>
#include <semaphore.h>

// Waits on any POSIX semaphore for at most timeout_ms, on the monotonic clock, through
// signal interruptions. True when it was taken.
bool semaphore_wait_for(sem_t* sem, int timeout_ms);

// PortAudio's device index for a wave id of that direction, or -1 (paNoDevice) if there
// is none.
int wave_out_portaudio_index(int id);
int wave_in_portaudio_index(int id);
// The same with portaudio_lock() held by the caller.
int portaudio_index_locked(int id, bool output);

// PortAudio is not made for concurrent callers: its stream calls, its device list and
// its restart all go through this one lock.
std::mutex& portaudio_lock();

// Starts PortAudio again so that its device list is read anew (a restarted sound
// server's devices are otherwise not seen), unless a stream is open: a restart would
// close it under its owner. Called with portaudio_lock() held.
void portaudio_restart_locked(int open_streams);
