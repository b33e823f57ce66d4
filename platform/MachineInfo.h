#pragma once
// What the machine is: file-system id, network adapters, OS release, locale,
// processors, memory and video controllers. Telemetry tags its events with
// these. Every method is virtual so that tests can replace a source (a
// machine without adapters, an unknown architecture) without touching the
// code that turns the values into texts.
#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace pf::platform {

struct NetworkAdapter {
  std::string name;
  std::array<uint8_t, 6> mac{};
  std::string ipv4;  // first IPv4 address, empty when it has none
};

struct ProcessorInfo {
  std::string name;    // empty when unknown
  std::string vendor;  // empty when unknown
};

struct MemoryModule {
  int smbiosType = -1;         // SMBIOS memory type byte, -1 unknown
  uint64_t capacityBytes = 0;  // 0 unknown
  uint32_t speedMHz = 0;       // 0 unknown
};

struct VideoController {
  std::string name;
  uint64_t memoryBytes = 0;   // 0 unknown
  std::string driverVersion;  // empty when unknown
};

struct OsRelease {
  std::string versionId;      // VERSION_ID of os-release, e.g. "12"
  std::string kernelRelease;  // e.g. "6.1.0-18-amd64"
  std::string machine;        // e.g. "x86_64"
};

class MachineInfo {
 public:
  virtual ~MachineInfo() = default;

  // An id of the root file system; false when it cannot be read.
  virtual bool RootVolumeSerial(uint32_t* serial);
  // Adapters with a hardware address, loopback excluded, in interface order.
  virtual std::vector<NetworkAdapter> NetworkAdapters();
  virtual OsRelease Os();
  // The locale that decides the text encoding (LC_ALL, LC_CTYPE, LANG).
  virtual std::string LocaleName();
  // One entry per physical package.
  virtual std::vector<ProcessorInfo> Processors();
  // Total usable physical memory in bytes, 0 when unknown.
  virtual uint64_t TotalPhysicalMemory();
  // Installed memory devices from the firmware tables (usually root only).
  virtual std::vector<MemoryModule> MemoryModules();
  virtual std::vector<VideoController> VideoControllers();
};

}  // namespace pf::platform
