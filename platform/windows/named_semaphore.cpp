#include "platform/named_semaphore.h"

#include <string>
#include <windows.h>

// A Windows semaphore lives while some process holds a handle to it; one that nobody
// holds is gone, so a fresh receiver starts with a fresh count. A count taken by a
// process that died while holding it is still lost, as with the POSIX ones.
struct NamedSemaphore {
  HANDLE handle;
};

namespace {

// Names are written the POSIX way ("/Sem_0_potok"); the Windows object is "Sem_0_potok".
std::string object_name(const char* name) { return name[0] == '/' ? name + 1 : name; }

constexpr LONG maximum_count = 1;

}  // namespace

NamedSemaphore* named_semaphore_open(const char* name, unsigned initial) {
  const std::string object = object_name(name);
  HANDLE handle = OpenSemaphoreA(SEMAPHORE_ALL_ACCESS, FALSE, object.c_str());
  if (!handle) {
    // Another process may create it between the two calls; CreateSemaphoreA then opens
    // that one unchanged.
    handle = CreateSemaphoreA(nullptr, static_cast<LONG>(initial), maximum_count, object.c_str());
  }
  if (!handle) return nullptr;
  return new NamedSemaphore{handle};
}

int named_semaphore_wait(NamedSemaphore* s, int timeout_ms) {
  return s && WaitForSingleObject(s->handle, static_cast<DWORD>(timeout_ms)) == WAIT_OBJECT_0 ? 1
                                                                                              : 0;
}

void named_semaphore_release(NamedSemaphore* s) {
  if (s) ReleaseSemaphore(s->handle, 1, nullptr);
}

int named_semaphore_repair(NamedSemaphore* s) {
  // The count is at most 1, so a release succeeds exactly when the count reads 0.
  return s && ReleaseSemaphore(s->handle, 1, nullptr) ? 1 : 0;
}

int named_semaphore_value(NamedSemaphore* s) {
  if (!s) return -1;
  // Windows tells a semaphore's count only through a release; take and give back.
  if (WaitForSingleObject(s->handle, 0) != WAIT_OBJECT_0) return 0;
  LONG previous = 0;
  ReleaseSemaphore(s->handle, 1, &previous);
  return static_cast<int>(previous) + 1;
}

void named_semaphore_close(NamedSemaphore* s) {
  if (!s) return;
  CloseHandle(s->handle);
  delete s;
}

// The object goes with its last handle; there is no name to remove.
void named_semaphore_unlink(const char*) {}
