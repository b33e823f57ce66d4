#include "app/FigureFormats.h"

#include <cstdio>
#include <cstring>

namespace pf {
namespace {

std::string Printf(const char* format, double value) {
  char text[64];
  std::snprintf(text, sizeof text, format, value);
  return text;
}

}  // namespace

std::string FormatSize(uint64_t bytes) {
  constexpr uint64_t kKB = 1024, kMB = kKB << 10, kGB = kMB << 10, kTB = kGB << 10;
  if (bytes == 0) return std::string();
  if (bytes < kKB) return std::to_string(bytes) + " B";
  if (bytes < kMB) return Printf("%0.1f KB", static_cast<double>(bytes) / kKB);
  if (bytes < kGB) return Printf("%0.1f MB", static_cast<double>(bytes) / kMB);
  if (bytes < kTB) return Printf("%0.1f GB", static_cast<double>(bytes) / kGB);
  return Printf("%0.1f TB", static_cast<double>(bytes) / kTB);
}

std::string FormatSpeed(uint32_t speed) {
  constexpr uint32_t kKB = 1024, kMB = kKB << 10, kGB = kMB << 10, kUnknownFrom = 0xCCCCCCCCu;
  if (speed < kKB) return std::to_string(speed) + " B/s";
  if (speed < kMB) return Printf("%0.1f KB/s", static_cast<double>(speed) / kKB);
  if (speed < kGB) return Printf("%0.1f MB/s", static_cast<double>(speed) / kMB);
  if (speed < kUnknownFrom) return Printf("%0.1f GB/s", static_cast<double>(speed) / kGB);
  return "未知";
}

std::string FormatPercent(uint32_t hundredths) {
  char text[32];
  if (hundredths % 100 != 0)
    std::snprintf(text, sizeof text, "%u.%02u%%", hundredths / 100, hundredths % 100);
  else
    std::snprintf(text, sizeof text, "%u%%", hundredths / 100);
  return text;
}

std::string SizeText(uint64_t bytesPresent, uint64_t packageSize, bool finished) {
  const std::string package = FormatSize(packageSize);
  if (finished) return package + "/" + package;
  return (bytesPresent == 0 ? std::string("0 B") : FormatSize(bytesPresent)) + "/" + package;
}

size_t CopyTextOut(const std::string& text, char* buffer, size_t bufferSize) {
  if (buffer == nullptr) return text.size();
  if (bufferSize < text.size() + 1) return 0;
  std::memcpy(buffer, text.c_str(), text.size() + 1);
  return text.size();
}

}  // namespace pf
