#include "platform/ThreadIdentity.h"

#include <pthread.h>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace pf::platform {

uint32_t CurrentThreadId() {
  thread_local const uint32_t id = static_cast<uint32_t>(::syscall(SYS_gettid));
  return id;
}

void MarkBackgroundThread(const char* name) {
  ::pthread_setname_np(::pthread_self(), name);
  // On Linux the nice value belongs to the thread.
  ::setpriority(PRIO_PROCESS, static_cast<id_t>(CurrentThreadId()), 1);
}

}  // namespace pf::platform
