#pragma once
// The machine values that tag every telemetry event: the machine id, the
// adapter addresses, the OS code and, on request, processor, memory and
// video-card lists. Each value is worked out once and then reused.
#include <json/value.h>

#include <array>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "platform/MachineInfo.h"

namespace pf {

class DeviceDetails {
 public:
  explicit DeviceDetails(std::shared_ptr<platform::MachineInfo> source);
  // The process-wide instance over the real machine.
  static std::shared_ptr<DeviceDetails> System();

  std::string MachId();     // 16 upper-case hex digits
  std::string MacList();    // "aa-bb-..;.." in adapter order
  std::string IpList();     // first IPv4 address of each adapter, ";"-joined
  std::string OsCode();
  Json::Value Processors();  // array (possibly empty)
  Json::Value MemoryModules();
  std::string MemoryTotal();  // bytes as text, empty when unknown
  Json::Value VideoCards();

  // The value rules, separate from where the values come from.
  static std::string MachIdFrom(std::optional<uint32_t> volumeSerial,
                                const std::array<uint8_t, 6>& mac);
  // "0x" + first 8 digits + ", 0x" + last 8 digits; empty for a short id.
  static std::string MachineIdText(const std::string& machId);
  static std::string OsCodeFrom(const platform::OsRelease& os, const std::string& localeName);
  static const char* ArchitectureName(const std::string& machine);
  // nullptr: the module type is one that the server does not take, so the
  // module is left out.
  static const char* MemoryTypeName(int smbiosType);

 private:
  void LoadIdentity();  // call with mutex_ held

  std::shared_ptr<platform::MachineInfo> source_;
  std::mutex mutex_;
  bool identityLoaded_ = false;
  std::string machId_, macList_, ipList_, osCode_;
  std::optional<Json::Value> processors_, memory_, video_;
  std::optional<std::string> memoryTotal_;
};

}  // namespace pf
