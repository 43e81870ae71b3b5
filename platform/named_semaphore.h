// A counting semaphore with a name that other processes can open (a POSIX named
// semaphore on Linux, a kernel semaphore object of at most one count on Windows). A count
// taken by a process that died stays taken until someone gives it back.
#pragma once

struct NamedSemaphore;

// Opens the semaphore `name` ("/..."), creating it with `initial` if it does not exist
// yet; an existing one keeps its count. Null if it can be neither opened nor created.
NamedSemaphore* named_semaphore_open(const char* name, unsigned initial);

// Takes one count, waiting at most timeout_ms. 1 when taken, 0 when the time ran out.
int named_semaphore_wait(NamedSemaphore* s, int timeout_ms);

// Gives one count back.
void named_semaphore_release(NamedSemaphore* s);

// After a wait that ran out: gives back the count that a holder never returned, if the
// count still reads 0, so that later waits do not each run out again. Returns 1 if a
// count was given back.
int named_semaphore_repair(NamedSemaphore* s);

// The current count (for diagnostics and tests), or -1.
int named_semaphore_value(NamedSemaphore* s);

// Closes this process's handle; the semaphore itself stays for others.
void named_semaphore_close(NamedSemaphore* s);

// Removes the name, so that the next open creates a fresh semaphore.
void named_semaphore_unlink(const char* name);
