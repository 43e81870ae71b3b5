#include "platform/named_semaphore.h"
#include "platform/linux/posix_support.h"

#include <cerrno>
#include <ctime>
#include <fcntl.h>
#include <semaphore.h>

struct NamedSemaphore {
  sem_t* sem;
};

NamedSemaphore* named_semaphore_open(const char* name, unsigned initial) {
  // O_CREAT without O_EXCL opens an existing semaphore unchanged, so a second receiver
  // shares the first one's. Only the same user may open it.
  sem_t* sem = sem_open(name, O_CREAT, 0600, initial);
  if (sem == SEM_FAILED) return nullptr;
  NamedSemaphore* s = new NamedSemaphore{sem};
  return s;
}

bool semaphore_wait_for(sem_t* sem, int timeout_ms) {
  timespec until{};
  clock_gettime(CLOCK_MONOTONIC, &until);
  until.tv_sec += timeout_ms / 1000;
  until.tv_nsec += static_cast<long>(timeout_ms % 1000) * 1000000L;
  if (until.tv_nsec >= 1000000000L) {
    until.tv_sec += 1;
    until.tv_nsec -= 1000000000L;
  }
  for (;;) {
    if (sem_clockwait(sem, CLOCK_MONOTONIC, &until) == 0) return true;
    if (errno != EINTR) return false;
  }
}

int named_semaphore_wait(NamedSemaphore* s, int timeout_ms) {
  return s && semaphore_wait_for(s->sem, timeout_ms) ? 1 : 0;
}

void named_semaphore_release(NamedSemaphore* s) {
  if (s) sem_post(s->sem);
}

int named_semaphore_repair(NamedSemaphore* s) {
  if (!s) return 0;
  int value = 0;
  if (sem_getvalue(s->sem, &value) != 0 || value > 0) return 0;
  sem_post(s->sem);
  return 1;
}

int named_semaphore_value(NamedSemaphore* s) {
  int value = 0;
  if (!s || sem_getvalue(s->sem, &value) != 0) return -1;
  return value;
}

void named_semaphore_close(NamedSemaphore* s) {
  if (!s) return;
  sem_close(s->sem);
  delete s;
}

void named_semaphore_unlink(const char* name) { sem_unlink(name); }
