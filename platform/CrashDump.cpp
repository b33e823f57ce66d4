#include "platform/CrashDump.h"

#include <execinfo.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <vector>

namespace pf::platform {
namespace {

constexpr int kFatalSignals[] = {SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGABRT};
constexpr int kMaxFrames = 64;

std::atomic<bool> installed{false};
// Seconds east of UTC when the handler was installed: the handler itself
// must not read the time zone files.
std::atomic<long> utcOffsetSeconds{0};

// Civil date of a count of days since 1970-01-01 (no library calls, so that
// a signal handler may use it).
void CivilFromDays(long days, int* year, int* month, int* day) {
  days += 719468;
  const long era = (days >= 0 ? days : days - 146096) / 146097;
  const long dayOfEra = days - era * 146097;
  const long yearOfEra = (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
  const long dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
  const long monthIndex = (5 * dayOfYear + 2) / 153;
  *day = static_cast<int>(dayOfYear - (153 * monthIndex + 2) / 5 + 1);
  *month = static_cast<int>(monthIndex < 10 ? monthIndex + 3 : monthIndex - 9);
  *year = static_cast<int>(yearOfEra + era * 400 + (*month <= 2 ? 1 : 0));
}

void WriteText(int fd, const char* text) {
  size_t left = std::strlen(text);
  while (left > 0) {
    const ssize_t n = ::write(fd, text, left);
    if (n <= 0) return;
    text += n;
    left -= static_cast<size_t>(n);
  }
}

void OnFatalSignal(int signal, siginfo_t* info, void*) {
  timespec now{};
  ::clock_gettime(CLOCK_REALTIME, &now);
  const long local = static_cast<long>(now.tv_sec) + utcOffsetSeconds.load();
  long days = local / 86400;
  long secondOfDay = local % 86400;
  if (secondOfDay < 0) {
    secondOfDay += 86400;
    --days;
  }
  int year = 0, month = 0, day = 0;
  CivilFromDays(days, &year, &month, &day);
  // A pseudo-random two digits keep two crashes of one millisecond apart.
  const int random = static_cast<int>((static_cast<unsigned long>(now.tv_nsec) ^ static_cast<unsigned long>(::getpid())) % 100);
  char name[64];
  std::snprintf(name, sizeof name, "%04d-%02d-%02d-%02d-%02d-%02d-%02d-%02d.dmp", year, month, day,
                static_cast<int>(secondOfDay / 3600), static_cast<int>(secondOfDay / 60 % 60),
                static_cast<int>(secondOfDay % 60), static_cast<int>(now.tv_nsec / 1000000), random);
  const int fd = ::open(name, O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
  if (fd >= 0) {
    char line[160];
    std::snprintf(line, sizeof line, "Pelicanfetch crash: signal %d (%s) in thread %ld at address %p\n", signal,
                  sigabbrev_np(signal) ? sigabbrev_np(signal) : "?", static_cast<long>(::syscall(SYS_gettid)),
                  info ? info->si_addr : nullptr);
    WriteText(fd, line);
    void* frames[kMaxFrames];
    const int count = ::backtrace(frames, kMaxFrames);
    ::backtrace_symbols_fd(frames, count, fd);
    ::close(fd);
  }
  // End as the signal would have: its default action, raised again.
  ::signal(signal, SIG_DFL);
  ::raise(signal);
}

}  // namespace

void InstallCrashDumpHandler() {
  if (installed.exchange(true)) return;
  const time_t now = std::time(nullptr);
  tm localParts{};
  if (::localtime_r(&now, &localParts)) utcOffsetSeconds = localParts.tm_gmtoff;
  // The first backtrace loads the unwinder; a signal handler must not be the one to do that.
  void* frame[1];
  ::backtrace(frame, 1);

  static std::vector<char> alternateStack(1 << 16);
  stack_t stack{};
  stack.ss_sp = alternateStack.data();
  stack.ss_size = alternateStack.size();
  ::sigaltstack(&stack, nullptr);

  struct sigaction action {};
  action.sa_sigaction = OnFatalSignal;
  action.sa_flags = SA_SIGINFO | SA_ONSTACK | SA_RESETHAND;
  sigemptyset(&action.sa_mask);
  for (int s : kFatalSignals) ::sigaction(s, &action, nullptr);
}

}  // namespace pf::platform
