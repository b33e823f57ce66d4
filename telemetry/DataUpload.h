#pragma once
// The upload thread: once a second it hands every queued event to the
// statistics component and has them posted as one batch.
#include <cstdint>
#include <deque>
#include <string>

#include "engine/base/QThread.h"
#include "telemetry/IDataStatisticsUser.h"
#include "telemetry/TransferEventBody.h"

namespace pf {

class DataUpload : public QThread {
 public:
  struct Record {
    std::string code, body;
    uint32_t flags = 0;
  };

  // The component must outlive the thread.
  explicit DataUpload(IDataStatisticsUser* component) : component_(component) {}
  ~DataUpload() override { Stop(); }

  // Remembers the reporter's values; events are queued only once these are
  // set and the component took its configuration path.
  void SetIdentity(const ReporterIdentity& identity) { identity_ = identity; }
  void SetConfigured(bool configured) { configured_ = configured; }
  bool IsConfigured() const;
  const ReporterIdentity& Identity() const { return identity_; }

  void Enqueue(Record record);
  size_t Queued();

  void Run() override;
  void Refresh() override {}

 private:
  void HandOver(std::deque<Record>* records);

  IDataStatisticsUser* component_;
  ReporterIdentity identity_;
  bool configured_ = false;
  std::deque<Record> queue_;  // guarded by `mutex`
  uint32_t handedOver_ = 0;
};

}  // namespace pf
