#include "platform/thread_name.h"

#include <cstring>
#include <pthread.h>

void name_current_thread(const char* name) {
  // The kernel keeps 16 bytes with the terminating zero and refuses a longer name.
  char kept[16] = {};
  std::strncpy(kept, name, sizeof kept - 1);
  pthread_setname_np(pthread_self(), kept);
}
