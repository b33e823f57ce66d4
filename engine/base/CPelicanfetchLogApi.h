#pragma once
#include "engine/base/CPelicanfetchLog.h"
#include "engine/base/CriticalSection.h"

namespace pf {

class CPelicanfetchLogApi : public CPelicanfetchLog {
 public:
  static constexpr int kPathCount = 11;
  static constexpr int kTextSize = 4096;
  // A threshold of 39 switches an output off.
  static constexpr int kOff = 39;

  CPelicanfetchLogApi();

  void SetThresholds(int fileThreshold, int debugThreshold) override;
  void SetBasePath(const char* base) override;
  void Write(const char* text, int channel, int level) override;
  void WriteFormat(const char* format, ...) override __attribute__((format(printf, 2, 3)));

  // Which of the paths a channel's lines go to.
  static int FileIndexOfChannel(int channel);

 private:
  int fileThreshold;
  int debugThreshold;
  CriticalSection section;
  char paths[kPathCount][kTextSize];
};

}  // namespace pf
