#include "platform/MachineInfo.h"

#include <arpa/inet.h>
#include <ifaddrs.h>
#include <netinet/in.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/utsname.h>

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <map>
#include <sstream>

namespace pf::platform {
namespace {

namespace fs = std::filesystem;

// Reads at most `limit` bytes; sysfs and procfs files are small, a runaway
// file must not grow memory.
std::string ReadSmallFile(const fs::path& path, size_t limit = 1 << 20) {
  std::ifstream in(path, std::ios::binary);
  if (!in) return {};
  std::string data(limit, '\0');
  in.read(data.data(), static_cast<std::streamsize>(limit));
  data.resize(static_cast<size_t>(in.gcount()));
  return data;
}

std::string Trimmed(std::string text) {
  const char* blanks = " \t\r\n";
  const size_t begin = text.find_first_not_of(blanks);
  if (begin == std::string::npos) return {};
  const size_t end = text.find_last_not_of(blanks);
  return text.substr(begin, end - begin + 1);
}

bool ParseMac(const std::string& text, std::array<uint8_t, 6>* mac) {
  unsigned b[6];
  if (std::sscanf(text.c_str(), "%x:%x:%x:%x:%x:%x", &b[0], &b[1], &b[2], &b[3], &b[4], &b[5]) != 6)
    return false;
  for (int i = 0; i < 6; ++i) (*mac)[i] = static_cast<uint8_t>(b[i]);
  return true;
}

uint32_t Fold64(uint64_t v) { return static_cast<uint32_t>(v ^ (v >> 32)); }

uint16_t Le16(const std::string& d, size_t at) {
  return static_cast<uint16_t>(static_cast<uint8_t>(d[at]) | (static_cast<uint8_t>(d[at + 1]) << 8));
}
uint32_t Le32(const std::string& d, size_t at) {
  return static_cast<uint32_t>(Le16(d, at)) | (static_cast<uint32_t>(Le16(d, at + 2)) << 16);
}

}  // namespace

bool MachineInfo::RootVolumeSerial(uint32_t* serial) {
  struct statvfs vfs {};
  if (::statvfs("/", &vfs) == 0 && vfs.f_fsid != 0) {
    *serial = Fold64(vfs.f_fsid);
    return true;
  }
  struct stat st {};
  if (::stat("/", &st) == 0) {
    *serial = Fold64(st.st_dev);
    return true;
  }
  return false;
}

std::vector<NetworkAdapter> MachineInfo::NetworkAdapters() {
  std::vector<std::pair<long, NetworkAdapter>> found;
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator("/sys/class/net", ec)) {
    const fs::path dir = entry.path();
    const std::string type = Trimmed(ReadSmallFile(dir / "type", 64));
    if (type == "772") continue;  // loopback
    NetworkAdapter adapter;
    adapter.name = dir.filename().string();
    if (!ParseMac(Trimmed(ReadSmallFile(dir / "address", 256)), &adapter.mac)) continue;
    const long index = std::strtol(ReadSmallFile(dir / "ifindex", 64).c_str(), nullptr, 10);
    found.emplace_back(index, adapter);
  }
  std::sort(found.begin(), found.end(),
            [](const auto& a, const auto& b) { return a.first < b.first; });

  std::map<std::string, std::string> firstIp;
  struct ifaddrs* list = nullptr;
  if (::getifaddrs(&list) == 0) {
    for (struct ifaddrs* it = list; it; it = it->ifa_next) {
      if (!it->ifa_addr || it->ifa_addr->sa_family != AF_INET || !it->ifa_name) continue;
      if (firstIp.count(it->ifa_name)) continue;
      char text[INET_ADDRSTRLEN] = {};
      const auto* in = reinterpret_cast<const struct sockaddr_in*>(it->ifa_addr);
      if (::inet_ntop(AF_INET, &in->sin_addr, text, sizeof(text))) firstIp[it->ifa_name] = text;
    }
    ::freeifaddrs(list);
  }
  std::vector<NetworkAdapter> adapters;
  for (auto& [index, adapter] : found) {
    auto ip = firstIp.find(adapter.name);
    if (ip != firstIp.end()) adapter.ipv4 = ip->second;
    adapters.push_back(adapter);
  }
  return adapters;
}

OsRelease MachineInfo::Os() {
  OsRelease os;
  std::istringstream lines(ReadSmallFile("/etc/os-release", 64 * 1024));
  for (std::string line; std::getline(lines, line);) {
    if (line.rfind("VERSION_ID=", 0) != 0) continue;
    std::string value = Trimmed(line.substr(11));
    if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'')) value = value.substr(1, value.size() - 2);
    os.versionId = value;
  }
  struct utsname names {};
  if (::uname(&names) == 0) {
    os.kernelRelease = names.release;
    os.machine = names.machine;
  }
  return os;
}

std::string MachineInfo::LocaleName() {
  for (const char* name : {"LC_ALL", "LC_CTYPE", "LANG"}) {
    const char* value = std::getenv(name);
    if (value && *value) return value;
  }
  return "C";
}

std::vector<ProcessorInfo> MachineInfo::Processors() {
  // cpuinfo lists logical processors; a physical package is what a
  // processor inventory counts, so group by "physical id".
  std::map<std::string, ProcessorInfo> packages;
  std::istringstream lines(ReadSmallFile("/proc/cpuinfo", 4 << 20));
  std::string physical = "0";
  ProcessorInfo current;
  auto flush = [&] {
    if (!current.name.empty() || !current.vendor.empty()) packages.emplace(physical, current);
    current = ProcessorInfo{};
    physical = "0";
  };
  for (std::string line; std::getline(lines, line);) {
    const size_t colon = line.find(':');
    if (Trimmed(line).empty()) {
      flush();
      continue;
    }
    if (colon == std::string::npos) continue;
    const std::string key = Trimmed(line.substr(0, colon));
    const std::string value = Trimmed(line.substr(colon + 1));
    if (key == "model name" || key == "cpu model" || (key == "Processor" && current.name.empty()))
      current.name = value;
    else if (key == "vendor_id")
      current.vendor = value;
    else if (key == "physical id")
      physical = value;
  }
  flush();
  std::vector<ProcessorInfo> result;
  for (auto& [id, info] : packages) result.push_back(info);
  return result;
}

uint64_t MachineInfo::TotalPhysicalMemory() {
  std::istringstream lines(ReadSmallFile("/proc/meminfo", 64 * 1024));
  for (std::string line; std::getline(lines, line);) {
    if (line.rfind("MemTotal:", 0) == 0) return std::strtoull(line.c_str() + 9, nullptr, 10) * 1024;
  }
  return 0;
}

std::vector<MemoryModule> MachineInfo::MemoryModules() {
  // SMBIOS type 17 (memory device) records as the kernel exports them.
  std::vector<std::pair<long, MemoryModule>> found;
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator("/sys/firmware/dmi/entries", ec)) {
    const std::string name = entry.path().filename().string();
    if (name.rfind("17-", 0) != 0) continue;
    const std::string d = ReadSmallFile(entry.path() / "raw", 4096);
    if (d.size() < 0x15 || static_cast<uint8_t>(d[0]) != 17) continue;
    const size_t length = static_cast<uint8_t>(d[1]);
    if (length < 0x15 || length > d.size()) continue;
    const uint16_t size = Le16(d, 0x0C);
    if (size == 0) continue;  // empty slot
    MemoryModule module;
    if (size == 0x7FFF && length >= 0x20)
      module.capacityBytes = static_cast<uint64_t>(Le32(d, 0x1C) & 0x7FFFFFFF) << 20;
    else if (size != 0xFFFF)
      module.capacityBytes = (size & 0x8000) ? static_cast<uint64_t>(size & 0x7FFF) << 10
                                             : static_cast<uint64_t>(size) << 20;
    module.smbiosType = static_cast<uint8_t>(d[0x12]);
    if (length >= 0x17) {
      const uint16_t speed = Le16(d, 0x15);
      if (speed != 0xFFFF) module.speedMHz = speed;
    }
    found.emplace_back(std::strtol(name.c_str() + 3, nullptr, 10), module);
  }
  std::sort(found.begin(), found.end(),
            [](const auto& a, const auto& b) { return a.first < b.first; });
  std::vector<MemoryModule> modules;
  for (auto& [index, module] : found) modules.push_back(module);
  return modules;
}

std::vector<VideoController> MachineInfo::VideoControllers() {
  std::vector<std::pair<std::string, VideoController>> found;
  std::error_code ec;
  for (const auto& entry : fs::directory_iterator("/sys/class/drm", ec)) {
    const std::string card = entry.path().filename().string();
    // "card0" is a controller; "card0-HDMI-A-1" is one of its connectors.
    if (card.rfind("card", 0) != 0 || card.size() == 4 ||
        card.find_first_not_of("0123456789", 4) != std::string::npos)
      continue;
    const fs::path device = entry.path() / "device";
    VideoController controller;
    std::string driver;
    const fs::path driverLink = fs::read_symlink(device / "driver", ec);
    if (!ec) driver = driverLink.filename().string();
    ec.clear();
    const std::string vendor = Trimmed(ReadSmallFile(device / "vendor", 64));
    const std::string model = Trimmed(ReadSmallFile(device / "device", 64));
    controller.name = driver;
    if (!vendor.empty() && !model.empty())
      controller.name += (driver.empty() ? "" : " ") + vendor + ":" + model;
    controller.memoryBytes =
        std::strtoull(ReadSmallFile(device / "mem_info_vram_total", 64).c_str(), nullptr, 10);
    if (!driver.empty())
      controller.driverVersion = Trimmed(ReadSmallFile(fs::path("/sys/module") / driver / "version", 256));
    if (!controller.name.empty()) found.emplace_back(card, controller);
  }
  std::sort(found.begin(), found.end(),
            [](const auto& a, const auto& b) { return a.first < b.first; });
  std::vector<VideoController> controllers;
  for (auto& [card, controller] : found) controllers.push_back(controller);
  return controllers;
}

}  // namespace pf::platform
