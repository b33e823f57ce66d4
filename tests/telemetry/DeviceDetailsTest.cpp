// Machine values attached to telemetry events.
#include <gtest/gtest.h>

#include <regex>

#include "support/FakeMachine.h"
#include "telemetry/CDataStatisticsImp.h"
#include "telemetry/DeviceDetails.h"

namespace pf {
namespace {

TEST(DeviceDetails, MachineIdMixesVolumeAndMacBytes) {
  struct Case {
    std::optional<uint32_t> serial;
    std::array<uint8_t, 6> mac;
    const char* id;
  } cases[] = {
      {0x11223344u, {0x00, 0x1A, 0x2B, 0x3C, 0x4D, 0x5E}, "221A3C804D804433"},
      // Sums wrap at 256.
      {0x11223344u, {0xFF, 0x00, 0xFF, 0xFF, 0x00, 0xFF}, "2100104300214433"},
      // No adapter: the MAC bytes are 0, still 16 digits.
      {0xA1B2C3D4u, {}, "B200A1D400B2D4C3"},
      // Nothing readable at all.
      {std::nullopt, {}, "0000000000000000"},
  };
  for (const auto& c : cases) EXPECT_EQ(DeviceDetails::MachIdFrom(c.serial, c.mac), c.id);
}

TEST(DeviceDetails, MachineWithoutAdaptersStillHasSixteenDigitId) {
  auto machine = std::make_shared<testing::FakeMachine>();
  machine->adapters.clear();
  DeviceDetails details(machine);
  EXPECT_TRUE(std::regex_match(details.MachId(), std::regex("[0-9A-F]{16}")));
  EXPECT_EQ(details.MacList(), "");
}

TEST(DeviceDetails, RealMachineIdIsStableAndWellFormed) {
  const std::string first = DeviceDetails(std::make_shared<platform::MachineInfo>()).MachId();
  const std::string second = DeviceDetails(std::make_shared<platform::MachineInfo>()).MachId();
  EXPECT_TRUE(std::regex_match(first, std::regex("[0-9A-F]{16}"))) << first;
  EXPECT_EQ(first, second);
  EXPECT_EQ(DeviceDetails::System()->MachId(), first);
}

TEST(DeviceDetails, AdapterListsKeepOrderAndLowerCase) {
  auto machine = std::make_shared<testing::FakeMachine>();
  machine->adapters.push_back({"wlan0", {0xAA, 0xBB, 0xCC, 0xDD, 0xEE, 0xFF}, ""});
  DeviceDetails details(machine);
  EXPECT_EQ(details.MacList(), "00-1a-2b-3c-4d-5e;aa-bb-cc-dd-ee-ff");
  EXPECT_EQ(details.IpList(), "10.0.0.7;");
}

TEST(DeviceDetails, MachineIdTextNeedsRoomForTerminator) {
  CDataStatisticsImp component(std::make_shared<DeviceDetails>(std::make_shared<testing::FakeMachine>()));
  char buffer[64];
  std::memset(buffer, '#', sizeof(buffer));
  uint32_t size = 22;  // the text's length, without room for its terminator
  EXPECT_EQ(component.GetMachineIdText(buffer, &size), 22);
  EXPECT_EQ(buffer[0], '#');  // nothing written
  size = 23;
  EXPECT_EQ(component.GetMachineIdText(buffer, &size), 1);
  EXPECT_STREQ(buffer, "0x221A3C80, 0x4D804433");
  EXPECT_EQ(component.GetMachineIdText(nullptr, &size), 0);
}

TEST(DeviceDetails, OsCodeLayout) {
  struct Case {
    platform::OsRelease os;
    const char* locale;
    const char* code;
  } cases[] = {
      {{"12", "6.1.0-18-amd64", "x86_64"}, "en_US.UTF-8", "12000642"},
      {{"22.04", "5.15.0", "x86_64"}, "zh_CN.UTF-8", "220400640"},  // Chinese locale
      {{"12", "6.1.0", "i686"}, "zh_TW.BIG5", "12000320"},
      {{"12", "6.1.0", "x86_64"}, "de_DE.ISO-8859-1", "12000641"},
      {{"12", "6.1.0", "x86_64"}, "C", "12000642"},
      {{"", "6.1.0-18-amd64", "aarch64"}, "POSIX", "6100642"},  // kernel when no release id
      {{"", "", "x86_64"}, "C", "999642"},
  };
  for (const auto& c : cases) EXPECT_EQ(DeviceDetails::OsCodeFrom(c.os, c.locale), c.code) << c.locale;
}

TEST(DeviceDetails, HardwareNamesFollowTheInventoryNames) {
  EXPECT_STREQ(DeviceDetails::ArchitectureName("x86_64"), "x64");
  EXPECT_STREQ(DeviceDetails::ArchitectureName("i686"), "x86");
  EXPECT_STREQ(DeviceDetails::ArchitectureName("ia64"), "Itanium-based systems");
  EXPECT_STREQ(DeviceDetails::ArchitectureName("aarch64"), "Error");
  EXPECT_STREQ(DeviceDetails::ArchitectureName(""), "Error");

  struct Case {
    int smbios;
    const char* name;  // nullptr: module left out
  } memory[] = {{0x12, "DDR"}, {0x13, "DDR-2"}, {0x18, "DDR-3"}, {0x1A, "DDR-3"}, {0x22, "DDR-3"},
                {0x01, "DDR-3"}, {0x02, "DDR-3"}, {0x03, nullptr}, {0x0F, nullptr}, {0x11, nullptr}};
  for (const auto& c : memory) {
    const char* name = DeviceDetails::MemoryTypeName(c.smbios);
    if (c.name)
      EXPECT_STREQ(name, c.name) << c.smbios;
    else
      EXPECT_EQ(name, nullptr) << c.smbios;
  }
}

TEST(DeviceDetails, HardwareListsLeaveOutWhatCannotBeRead) {
  auto machine = std::make_shared<testing::FakeMachine>();
  machine->modules = {{0x1A, 8ULL << 30, 2400}, {0x0F, 1ULL << 30, 133}, {-1, 0, 0}};
  machine->processors = {{"", "AuthenticAMD"}};
  machine->os.machine = "riscv64";
  DeviceDetails details(machine);
  const Json::Value memory = details.MemoryModules();
  ASSERT_EQ(memory.size(), 2u);  // the SDRAM module is left out
  EXPECT_EQ(memory[0]["Memory_Type"].asString(), "DDR-3");
  EXPECT_EQ(memory[0]["Memory_Capacity"].asString(), "8589934592");
  EXPECT_EQ(memory[0]["Memory_Frequency"].asString(), "2400");
  EXPECT_TRUE(memory[1].empty());  // nothing known about it
  const Json::Value cpu = details.Processors();
  ASSERT_EQ(cpu.size(), 1u);
  EXPECT_FALSE(cpu[0].isMember("CPU_Name"));
  EXPECT_EQ(cpu[0]["CPU_Architecture"].asString(), "Error");
  EXPECT_EQ(cpu[0]["CPU_Type"].asString(), "Central Processor");
  EXPECT_EQ(details.MemoryTotal(), "8589934592");
}

}  // namespace
}  // namespace pf
