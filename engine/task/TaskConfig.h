#pragma once
#include <cstdint>

namespace pf {

// Per-task settings. Validate() puts every value outside its range back to
// its default.
struct TaskConfig {
  int serverMinConnections = 1;   // connections a usable server may always have
  int memoryLimit = 64;           // piece cache in 256 KB units
  int seedHours = 12;             // hours a complete task keeps running; 0 = no limit
  int downloadLimitKB = 0;        // KB/s, 0 = unlimited
  int uploadLimitKB = 0;          // KB/s, 0 = unlimited
  uint8_t randomPieceStart = 1;
  uint8_t sizesOnlyCheck = 0;
  int metadataTimeout = 45;       // seconds after the thread start

  void Validate();
  // The piece cache a map gets (256 KB units): at least 1 MB.
  int PieceCacheUnits() const;
};

}  // namespace pf
