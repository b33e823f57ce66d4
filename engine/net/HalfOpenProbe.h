#pragma once
// How many connection attempts the system lets through at once: some
// versions of the TCP/IP driver cap simultaneous half-open connections, and
// the cap is read from the driver file itself. Every failure of the probe
// folds into the default limit; none is reported.
#include <cstdint>
#include <string>

namespace pf {

// The four parts of a file's version, all 0 when the file has none.
struct DriverVersion {
  std::string path;
  uint32_t major = 0, minor = 0, build = 0, revision = 0;
};

// What ReadHalfOpenLimit answers besides a limit (> 0).
enum HalfOpenResult : int32_t {
  kNoHalfOpenLimit = -1,       // this system version has none
  kDriverNotOpened = -2,
  kDriverSizeOutOfRange = -3,
  kDriverReadFailed = -4,
  kLimitMarkerNotFound = -5,
  kLimitNotConfirmed = -6,     // marker found, value not confirmed
};

// The driver file's version, from its fixed version information. An empty
// path names the system's own TCP/IP driver.
DriverVersion ReadDriverVersion(const std::string& path);
bool HasConnectionLimit(const DriverVersion& version);
// The half-open limit written in the driver file `version.path`, or one of
// the HalfOpenResult codes.
int32_t ReadHalfOpenLimit(const DriverVersion& version);
// The engine's connect-attempt limit for a ReadHalfOpenLimit answer.
int ConnectAttemptLimitFor(int32_t halfOpenLimit);

// The process-wide connect-attempt limit: kConnectAttemptsBeforeProbe until
// ProbeHalfOpenLimit ran (once, with the first task).
inline constexpr int kConnectAttemptsBeforeProbe = 64;
int ConnectAttemptLimit();
void ProbeHalfOpenLimit();

}  // namespace pf
