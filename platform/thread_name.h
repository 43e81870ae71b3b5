// Names the calling thread, so that tools listing a process's threads (top -H, ps -L,
// /proc/<pid>/task/<tid>/comm) show which part of the receiver each one is.
#pragma once

// Keeps at most the first 15 characters; a name that cannot be set is left as it was.
void name_current_thread(const char* name);
