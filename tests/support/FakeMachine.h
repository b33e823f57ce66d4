#pragma once
// A machine whose details a test chooses.
#include <optional>

#include "platform/MachineInfo.h"

namespace pf::testing {

class FakeMachine : public platform::MachineInfo {
 public:
  std::optional<uint32_t> serial = 0x11223344u;
  std::vector<platform::NetworkAdapter> adapters{{"eth0", {0x00, 0x1A, 0x2B, 0x3C, 0x4D, 0x5E}, "10.0.0.7"}};
  platform::OsRelease os{"12", "6.1.0-18-amd64", "x86_64"};
  std::string locale = "en_US.UTF-8";
  std::vector<platform::ProcessorInfo> processors{{"Test CPU @ 3.00GHz", "GenuineIntel"}};
  uint64_t memoryTotal = 8ULL << 30;
  std::vector<platform::MemoryModule> modules{{0x1A, 8ULL << 30, 2400}};
  std::vector<platform::VideoController> video{{"i915 0x8086:0x3e92", 0, "1.0"}};

  bool RootVolumeSerial(uint32_t* out) override {
    if (!serial) return false;
    *out = *serial;
    return true;
  }
  std::vector<platform::NetworkAdapter> NetworkAdapters() override { return adapters; }
  platform::OsRelease Os() override { return os; }
  std::string LocaleName() override { return locale; }
  std::vector<platform::ProcessorInfo> Processors() override { return processors; }
  uint64_t TotalPhysicalMemory() override { return memoryTotal; }
  std::vector<platform::MemoryModule> MemoryModules() override { return modules; }
  std::vector<platform::VideoController> VideoControllers() override { return video; }
};

}  // namespace pf::testing
