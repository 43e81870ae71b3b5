// A second process for the named semaphore test: opens the semaphore by its Windows
// name and tries to take the count at once. Exits 0 when it took it (and ends holding
// it, as a receiver that dies would), 1 when the count was taken, 2 when there is no
// such semaphore.
#include <windows.h>

int main(int argc, char** argv) {
  if (argc != 2) return 3;
  HANDLE semaphore = OpenSemaphoreA(SEMAPHORE_ALL_ACCESS, FALSE, argv[1]);
  if (!semaphore) return 2;
  return WaitForSingleObject(semaphore, 0) == WAIT_OBJECT_0 ? 0 : 1;
}
