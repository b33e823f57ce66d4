#include "telemetry/DeviceDetails.h"

#include <cstdio>
#include <cstring>

namespace pf {
namespace {

// The version's first two numbers; empty when the text starts with none.
std::string MajorMinor(const std::string& version) {
  size_t i = 0;
  std::string major, minor;
  while (i < version.size() && version[i] >= '0' && version[i] <= '9') major += version[i++];
  if (major.empty()) return {};
  if (i < version.size() && version[i] == '.') {
    ++i;
    while (i < version.size() && version[i] >= '0' && version[i] <= '9') minor += version[i++];
  }
  return major + (minor.empty() ? "0" : minor);
}

std::string Lower(std::string text) {
  for (char& c : text)
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  return text;
}

// "0" Chinese, "1" Western European single-byte, "2" anything else; the
// digit that a Windows code page would give.
const char* LanguageDigit(const std::string& localeName) {
  const std::string locale = Lower(localeName);
  if (locale.rfind("zh", 0) == 0) return "0";
  std::string codeset;
  const size_t dot = locale.find('.');
  if (dot != std::string::npos) {
    for (char c : locale.substr(dot + 1)) {
      if (c == '@') break;
      if (c != '-' && c != '_') codeset += c;
    }
  }
  for (const char* chinese : {"gbk", "gb2312", "gb18030", "big5", "big5hkscs", "euccn", "euctw"})
    if (codeset == chinese) return "0";
  for (const char* western : {"cp1252", "iso88591", "iso885915"})
    if (codeset == western) return "1";
  return "2";
}

bool Is64Bit(const std::string& machine) {
  return machine.find("64") != std::string::npos || machine == "s390x";
}

}  // namespace

DeviceDetails::DeviceDetails(std::shared_ptr<platform::MachineInfo> source)
    : source_(std::move(source)) {}

std::shared_ptr<DeviceDetails> DeviceDetails::System() {
  static const auto instance = std::make_shared<DeviceDetails>(std::make_shared<platform::MachineInfo>());
  return instance;
}

std::string DeviceDetails::MachIdFrom(std::optional<uint32_t> volumeSerial,
                                      const std::array<uint8_t, 6>& m) {
  const uint32_t serial = volumeSerial.value_or(0);
  const uint8_t s0 = serial & 0xFF, s1 = (serial >> 8) & 0xFF, s2 = (serial >> 16) & 0xFF,
                s3 = (serial >> 24) & 0xFF;
  const uint8_t bytes[8] = {static_cast<uint8_t>(m[0] + s2), m[1], static_cast<uint8_t>(m[2] + s3),
                            static_cast<uint8_t>(m[3] + s0), m[4], static_cast<uint8_t>(m[5] + s2),
                            s0, s1};
  char text[17];
  std::snprintf(text, sizeof(text), "%02X%02X%02X%02X%02X%02X%02X%02X", bytes[0], bytes[1], bytes[2],
                bytes[3], bytes[4], bytes[5], bytes[6], bytes[7]);
  return text;
}

std::string DeviceDetails::MachineIdText(const std::string& machId) {
  if (machId.size() < 16) return {};
  return "0x" + machId.substr(0, 8) + ", 0x" + machId.substr(8, 8);
}

std::string DeviceDetails::OsCodeFrom(const platform::OsRelease& os, const std::string& localeName) {
  std::string version = MajorMinor(os.versionId);
  if (version.empty()) version = MajorMinor(os.kernelRelease);
  // No service packs here: both of their digits are 0.
  std::string code = version.empty() ? "999" : version + "00";
  code += Is64Bit(os.machine) ? "64" : "32";
  code += LanguageDigit(localeName);
  return code;
}

const char* DeviceDetails::ArchitectureName(const std::string& machine) {
  if (machine == "x86_64" || machine == "amd64") return "x64";
  if (machine == "x86" || (machine.size() == 4 && machine[0] == 'i' && machine.substr(2) == "86"))
    return "x86";
  if (machine == "ia64") return "Itanium-based systems";
  if (machine.rfind("mips", 0) == 0) return "MIPS";
  if (machine.rfind("alpha", 0) == 0) return "Alpha";
  if (machine.rfind("ppc", 0) == 0 || machine.rfind("powerpc", 0) == 0) return "PowerPC";
  return "Error";
}

const char* DeviceDetails::MemoryTypeName(int smbiosType) {
  // The server knows the memory-type numbers of the Windows inventory, which
  // differ from the firmware's below DDR; translate first.
  static const int kInventoryType[] = {-1, 1, 0, 2, 6, 7, 8, 9, 10, 11, 12, 13, 14, 15, 16, 17, 18, 19, 20, 21};
  int type;
  if (smbiosType < 0) return nullptr;
  if (smbiosType < static_cast<int>(std::size(kInventoryType)))
    type = kInventoryType[smbiosType];
  else
    type = smbiosType < 22 ? 22 : smbiosType;
  if (type == 20) return "DDR";
  if (type == 21) return "DDR-2";
  if (type == 0 || type == 1 || type >= 22) return "DDR-3";
  return nullptr;
}

void DeviceDetails::LoadIdentity() {
  if (identityLoaded_) return;
  identityLoaded_ = true;
  uint32_t serial = 0;
  std::optional<uint32_t> volume;
  if (source_->RootVolumeSerial(&serial)) volume = serial;
  const auto adapters = source_->NetworkAdapters();
  machId_ = MachIdFrom(volume, adapters.empty() ? std::array<uint8_t, 6>{} : adapters.front().mac);
  for (size_t i = 0; i < adapters.size(); ++i) {
    const auto& m = adapters[i].mac;
    char mac[18];
    std::snprintf(mac, sizeof(mac), "%02x-%02x-%02x-%02x-%02x-%02x", m[0], m[1], m[2], m[3], m[4], m[5]);
    macList_ += (i ? ";" : "") + std::string(mac);
    ipList_ += (i ? ";" : "") + adapters[i].ipv4;
  }
  osCode_ = OsCodeFrom(source_->Os(), source_->LocaleName());
}

std::string DeviceDetails::MachId() {
  std::lock_guard<std::mutex> lock(mutex_);
  LoadIdentity();
  return machId_;
}
std::string DeviceDetails::MacList() {
  std::lock_guard<std::mutex> lock(mutex_);
  LoadIdentity();
  return macList_;
}
std::string DeviceDetails::IpList() {
  std::lock_guard<std::mutex> lock(mutex_);
  LoadIdentity();
  return ipList_;
}
std::string DeviceDetails::OsCode() {
  std::lock_guard<std::mutex> lock(mutex_);
  LoadIdentity();
  return osCode_;
}

Json::Value DeviceDetails::Processors() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!processors_) {
    Json::Value list(Json::arrayValue);
    const std::string architecture = ArchitectureName(source_->Os().machine);
    for (const auto& cpu : source_->Processors()) {
      Json::Value item(Json::objectValue);
      if (!cpu.name.empty()) item["CPU_Name"] = cpu.name;
      if (!cpu.vendor.empty()) item["CPU_Manufacturer"] = cpu.vendor;
      item["CPU_Type"] = "Central Processor";
      item["CPU_Architecture"] = architecture;
      list.append(item);
    }
    processors_ = list;
  }
  return *processors_;
}

Json::Value DeviceDetails::MemoryModules() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!memory_) {
    Json::Value list(Json::arrayValue);
    for (const auto& module : source_->MemoryModules()) {
      Json::Value item(Json::objectValue);
      if (module.smbiosType >= 0) {
        const char* name = MemoryTypeName(module.smbiosType);
        if (!name) continue;
        item["Memory_Type"] = name;
      }
      if (module.capacityBytes) item["Memory_Capacity"] = std::to_string(module.capacityBytes);
      if (module.speedMHz) item["Memory_Frequency"] = std::to_string(module.speedMHz);
      list.append(item);
    }
    memory_ = list;
  }
  return *memory_;
}

std::string DeviceDetails::MemoryTotal() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!memoryTotal_) {
    const uint64_t total = source_->TotalPhysicalMemory();
    memoryTotal_ = total ? std::to_string(total) : std::string();
  }
  return *memoryTotal_;
}

Json::Value DeviceDetails::VideoCards() {
  std::lock_guard<std::mutex> lock(mutex_);
  if (!video_) {
    Json::Value list(Json::arrayValue);
    for (const auto& card : source_->VideoControllers()) {
      Json::Value item(Json::objectValue);
      if (!card.name.empty()) item["Video_Card_Name"] = card.name;
      if (card.memoryBytes) item["Video_Card_Memory_Capacity"] = std::to_string(card.memoryBytes);
      if (!card.driverVersion.empty()) item["Video_Card_Driver_Version"] = card.driverVersion;
      list.append(item);
    }
    video_ = list;
  }
  return *video_;
}

}  // namespace pf
