#include "telemetry/ReportingCalls.h"

#include <chrono>
#include <cstdio>
#include <future>
#include <memory>
#include <mutex>
#include <thread>

#include "engine/base/CPelicanfetchLog.h"
#include "platform/CrashDump.h"
#include "telemetry/DataUpload.h"
#include "telemetry/IDataStatisticsUser.h"

namespace pf {
namespace {


struct UploadState {
  std::mutex mutex;
  std::unique_ptr<IDataStatisticsUser> component;  // lives to process exit
  std::shared_ptr<DataUpload> thread;
  std::string machineIdText;
  MessageBoxPresenter presenter;
};

UploadState& State() {
  // Deliberately never destroyed: engine threads and message threads may
  // report while the process exits, after static destructors have run.
  static UploadState& state = *std::make_unique<UploadState>().release();
  return state;
}

struct DeltaMemory {
  std::mutex mutex;
  uint64_t time = 0, total = 0, http = 0, p2p = 0;
};
DeltaMemory& Deltas() {
  static DeltaMemory& memory = *std::make_unique<DeltaMemory>().release();
  return memory;
}

std::shared_ptr<DataUpload> RunningThread() {
  UploadState& state = State();
  std::lock_guard<std::mutex> lock(state.mutex);
  if (!state.thread || !state.thread->IsRunning()) return nullptr;
  return state.thread;
}

std::string Text(const char* text) { return text ? std::string(text) : std::string(); }

std::string FetchMachineIdText(IDataStatisticsUser* component) {
  char buffer[4096] = {};
  uint32_t size = sizeof(buffer);
  if (component && component->GetMachineIdText(buffer, &size) == 1) return buffer;
  return {};
}

void QueueEvent(const char* eventCode, TransferEvent event, uint32_t flags) {
  const std::shared_ptr<DataUpload> upload = RunningThread();
  if (!upload) return;
  LogLine(kLogTelemetry, "Report Event : (%s)", eventCode ? eventCode : "");
  {
    DeltaMemory& memory = Deltas();
    std::lock_guard<std::mutex> lock(memory.mutex);
    uint64_t lastTime = memory.time;
    event.inTime = static_cast<uint32_t>(DeltaSinceLast(event.totalTime, &lastTime));
    memory.time = lastTime;
    event.inTotalBytes = DeltaSinceLast(event.totalBytes, &memory.total);
    event.inHttpTotalBytes = DeltaSinceLast(event.httpTotalBytes, &memory.http);
    event.inP2pTotalBytes = DeltaSinceLast(event.p2pTotalBytes, &memory.p2p);
  }
  if (!upload->IsConfigured()) return;
  try {
    upload->Enqueue({Text(eventCode), FormatTransferBody(upload->Identity(), event), flags});
  } catch (...) {
    LogCaught(kLogTelemetry, "QueueEvent");
    // Out of memory or similar: the event is lost, the caller goes on.
  }
}

void DefaultPresenter(void*, const std::string& text, const std::string& caption, uint32_t) {
  LogLine(kLogTelemetry, "Message [%s] %s", caption.c_str(), text.c_str());
  std::fprintf(stderr, "%s: %s\n", caption.c_str(), text.c_str());
}

}  // namespace

bool CollectDataUpload(const char* configPath, const char* gameId, const char* appVersion,
                       const char* gVersion, const char* dChannel) {
  platform::InstallCrashDumpHandler();  // each operation makes sure a crash leaves its dump
  UploadState& state = State();
  std::shared_ptr<DataUpload> previous;
  {
    std::lock_guard<std::mutex> lock(state.mutex);
    previous = std::move(state.thread);
  }
  if (previous) previous->Stop();  // hands over what it still holds, then ends

  std::lock_guard<std::mutex> lock(state.mutex);
  if (!state.component) CreateDataStatisticsUser(kDataStatisticsInterfaceId, &state.component);
  auto upload = std::make_shared<DataUpload>(state.component.get());
  if (state.component && configPath && state.component->SetConfigPath(configPath) == 1)
    upload->SetConfigured(true);
  if (gameId && appVersion && gVersion && dChannel)
    upload->SetIdentity({gameId, appVersion, gVersion, dChannel});
  const bool started = upload->Start("CollectDataUpload");
  state.thread = upload;
  state.machineIdText = upload->IsConfigured() ? FetchMachineIdText(state.component.get()) : "";
  return started;
}

bool StartTelemetry(const char* configPath, const char* appVersion) {
  return CollectDataUpload(configPath, "5", appVersion, "v156", "1");
}

void StopDataUpload() {
  UploadState& state = State();
  std::shared_ptr<DataUpload> upload;
  {
    std::lock_guard<std::mutex> lock(state.mutex);
    upload = std::move(state.thread);
  }
  if (upload) upload->Stop();
  // Stop waits only for the body; the object's end (here, or with the last
  // reporting call still holding it) joins the finished thread.
}

void ReportTransfer(const char* eventCode, const char* serverIp, const char* httpResult,
                    uint32_t totalTime, uint64_t totalBytes, uint64_t averageSpeed,
                    const char* progress, uint64_t httpTotalBytes, uint64_t httpAverageSpeed,
                    uint64_t p2pTotalBytes, uint64_t p2pAverageSpeed, uint32_t corruptPakId,
                    const char* fileName, const char* url, const char* errorMsg, uint32_t flags) {
  platform::InstallCrashDumpHandler();  // each operation makes sure a crash leaves its dump
  TransferEvent event;
  event.serverIp = Text(serverIp);
  event.httpResult = Text(httpResult);
  event.totalTime = totalTime;
  event.totalBytes = totalBytes;
  event.averageSpeed = averageSpeed;
  event.progress = Text(progress);
  event.httpTotalBytes = httpTotalBytes;
  event.httpAverageSpeed = httpAverageSpeed;
  event.p2pTotalBytes = p2pTotalBytes;
  event.p2pAverageSpeed = p2pAverageSpeed;
  event.corruptPakId = corruptPakId;
  event.fileName = Text(fileName);
  event.url = Text(url);
  event.errorMsg = Text(errorMsg);
  QueueEvent(eventCode, std::move(event), flags);
}

void ReportEvent(const char* eventCode, const char* message, uint32_t flags) {
  platform::InstallCrashDumpHandler();  // each operation makes sure a crash leaves its dump
  TransferEvent event;
  event.errorMsg = Text(message);
  QueueEvent(eventCode, std::move(event), flags);
}

void ReportFileEvent(const char* eventCode, const char* fileName, const char* message) {
  platform::InstallCrashDumpHandler();  // each operation makes sure a crash leaves its dump
  TransferEvent event;
  event.fileName = Text(fileName);
  event.errorMsg = Text(message);
  QueueEvent(eventCode, std::move(event), 0);
}

void SetMessageBoxPresenter(MessageBoxPresenter presenter) {
  UploadState& state = State();
  std::lock_guard<std::mutex> lock(state.mutex);
  state.presenter = std::move(presenter);
}

std::string MessageMachineIdText() {
  UploadState& state = State();
  std::lock_guard<std::mutex> lock(state.mutex);
  return state.machineIdText;
}

int ShowMessageBoxAsync(void* owner, const char* text, const char* caption, uint32_t style) {
  platform::InstallCrashDumpHandler();  // each operation makes sure a crash leaves its dump
  auto taken = std::make_shared<std::promise<void>>();
  std::future<void> started = taken->get_future();
  try {
    // The texts are copied here rather than on the new thread: a caller that
    // gave up waiting may already have freed them.
    std::thread([owner, message = Text(text), title = Text(caption), style, taken]() mutable {
      taken->set_value();

      UploadState& state = State();
      MessageBoxPresenter presenter;
      std::string id;
      {
        std::lock_guard<std::mutex> lock(state.mutex);
        if (state.machineIdText.empty() && state.thread && state.thread->IsConfigured())
          state.machineIdText = FetchMachineIdText(state.component.get());
        id = state.machineIdText;
        presenter = state.presenter;
      }
      if (!id.empty()) message += "\n\xEF\xBC\x88" + id + "\xEF\xBC\x89";  // full-width ( )
      if (presenter)
        presenter(owner, message, title, style);
      else
        DefaultPresenter(owner, message, title, style);
    }).detach();
  } catch (...) {
    LogCaught(kLogTelemetry, "ShowMessageBoxAsync");
    return 0;
  }
  return started.wait_for(std::chrono::milliseconds(2000)) == std::future_status::ready ? 1 : 0;
}

}  // namespace pf
