#include "telemetry/DataUpload.h"

#include <cerrno>

#include "engine/base/CPelicanfetchLog.h"
#include "engine/base/ScopedLock.h"
#include "platform/ThreadIdentity.h"

namespace pf {
namespace {
}

bool DataUpload::IsConfigured() const {
  return configured_ && !identity_.gameId.empty() && !identity_.appVersion.empty() &&
         !identity_.gVersion.empty();
}

void DataUpload::Enqueue(Record record) {
  ScopedLock lock(&mutex);
  queue_.push_back(std::move(record));
}

size_t DataUpload::Queued() {
  ScopedLock lock(&mutex);
  return queue_.size();
}

void DataUpload::HandOver(std::deque<Record>* records) {
  for (Record& record : *records) {
    if (record.code.empty() && record.body.empty()) {
      LogLine(kLogTelemetry, "TID : %5lu] [Data Upload Failed with Empty Code Or Body",
              static_cast<unsigned long>(platform::CurrentThreadId()));
      continue;
    }
    ++handedOver_;
    try {
      component_->AddEvent(record.code.c_str(), record.body.c_str(), record.flags);
    } catch (...) {
      LogLine(kLogTelemetry, "A exception catched in dataupload CODE : (%s) ErrorCode : (%lu)",
              record.code.c_str(), static_cast<unsigned long>(errno));
      LogCaught(kLogTelemetry, "AddEvent");
    }
  }
}

void DataUpload::Run() {
  for (;;) {
    SleepSeconds(1);
    ScopedLock lock(&mutex);
    if (queue_.empty()) {
      lock.Unlock();
      if (StopRequested()) return;
      continue;
    }
    std::deque<Record> records;
    records.swap(queue_);
    HandOver(&records);
    // Posting under the lock: a report made meanwhile waits for the post
    // (at most the component's time-outs), which keeps batches in order.
    component_->SubmitEventDownloadSeveral();
    handedOver_ = 0;
  }
}

}  // namespace pf
