#include "engine/net/HalfOpenProbe.h"

#include <algorithm>
#include <atomic>
#include <cstring>
#include <vector>

#include "platform/File.h"
#include "platform/SystemFolders.h"

namespace pf {
namespace {

constexpr uint32_t kFixedInfoSignature = 0xFEEF04BDu;
constexpr size_t kFixedInfoSize = 52;
// A version resource sits in a driver file of a few hundred kilobytes.
constexpr int64_t kMaxVersionScan = 8 << 20;
constexpr int64_t kMinDriverSize = 32768;
constexpr int64_t kMaxDriverSize = 2097152;
constexpr int64_t kMarkerTail = 1024;
constexpr int kLimitOffset = 128;

std::atomic<int> connectAttemptLimit{kConnectAttemptsBeforeProbe};

uint32_t Little32(const uint8_t* p) {
  return uint32_t{p[0]} | uint32_t{p[1]} << 8 | uint32_t{p[2]} << 16 | uint32_t{p[3]} << 24;
}

// The whole file, when it opens and its size lies in [minimum, maximum];
// the HalfOpenResult of the failure otherwise.
int32_t ReadWhole(const std::string& path, int64_t minimum, int64_t maximum, std::vector<uint8_t>* bytes) {
  platform::File file;
  if (!platform::OpenFileChecked(file, path.c_str(), platform::File::Mode::ReadExisting)) return kDriverNotOpened;
  const int64_t size = file.Size();
  if (size < minimum || size > maximum) return kDriverSizeOutOfRange;
  bytes->resize(static_cast<size_t>(size));
  if (file.ReadAt(bytes->data(), size, 0) != size) return kDriverReadFailed;
  return 0;
}

// "\Device\RasAcd" in UTF-16LE with its terminating zero, six 0xCC and four
// 0x90: the code that follows it loads the limit.
std::vector<uint8_t> LimitMarker() {
  std::vector<uint8_t> marker;
  for (const char c : std::string("\\Device\\RasAcd")) marker.insert(marker.end(), {static_cast<uint8_t>(c), 0});
  marker.insert(marker.end(), {0, 0});
  marker.insert(marker.end(), 6, 0xCC);
  marker.insert(marker.end(), 4, 0x90);
  return marker;
}

}  // namespace

DriverVersion ReadDriverVersion(const std::string& path) {
  DriverVersion version;
  version.path = path;
  if (version.path.empty()) {
    std::string system = platform::SystemDirectory();
    if (!system.empty() && system.back() != '\\') system += '\\';
    version.path = system + "drivers\\tcpip.sys";
  }
  std::vector<uint8_t> bytes;
  if (ReadWhole(version.path, 0, kMaxVersionScan, &bytes) != 0) return version;
  // The fixed part of the version information starts with its signature,
  // on a 4-byte boundary of the resource.
  for (size_t at = 0; at + kFixedInfoSize <= bytes.size(); at += 4) {
    if (Little32(&bytes[at]) != kFixedInfoSignature) continue;
    const uint32_t high = Little32(&bytes[at + 8]);
    const uint32_t low = Little32(&bytes[at + 12]);
    version.major = high >> 16;
    version.minor = high & 0xFFFF;
    version.build = low >> 16;
    version.revision = low & 0xFFFF;
    break;
  }
  return version;
}

bool HasConnectionLimit(const DriverVersion& v) {
  if (v.major < 5) return false;
  if (v.major > 5) return true;
  if (v.minor == 0) return false;
  if (v.minor == 1) return !(v.build < 2600 || v.revision < 2180);
  if (v.minor == 2) return !(v.build < 3790 || v.revision == 0);
  return true;
}

int32_t ReadHalfOpenLimit(const DriverVersion& version) {
  if (!HasConnectionLimit(version)) return kNoHalfOpenLimit;
  std::vector<uint8_t> bytes;
  if (const int32_t failed = ReadWhole(version.path, kMinDriverSize, kMaxDriverSize, &bytes)) return failed;
  const std::vector<uint8_t> marker = LimitMarker();
  const auto scanEnd = bytes.begin() + static_cast<std::ptrdiff_t>(bytes.size() - kMarkerTail);
  const auto found = std::search(bytes.begin(), scanEnd, marker.begin(), marker.end());
  if (found == scanEnd || found == bytes.begin()) return kLimitMarkerNotFound;
  // The search stopped a kilobyte before the end, so the value lies inside.
  const size_t p = static_cast<size_t>(found - bytes.begin()) + kLimitOffset;
  if (bytes[p - 1] != 0 || bytes[p + 4] != 0xB8) return kLimitNotConfirmed;
  return static_cast<int32_t>(Little32(&bytes[p]));
}

int ConnectAttemptLimitFor(int32_t halfOpenLimit) {
  const int64_t usable = int64_t{halfOpenLimit} - 2;
  return usable <= 0 ? 32 : static_cast<int>(std::min<int64_t>(32, usable));
}

int ConnectAttemptLimit() { return connectAttemptLimit.load(); }

void ProbeHalfOpenLimit() {
  connectAttemptLimit = ConnectAttemptLimitFor(ReadHalfOpenLimit(ReadDriverVersion("")));
}

}  // namespace pf
