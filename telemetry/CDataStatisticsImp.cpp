#include "telemetry/CDataStatisticsImp.h"

#include <atomic>
#include <cstdio>
#include <cstring>

#include "engine/base/CPelicanfetchLog.h"
#include "platform/CodePage.h"
#include "platform/FileSystem.h"
#include "platform/IniFile.h"
#include "platform/Uuid.h"
#include "telemetry/EventBatch.h"
#include "telemetry/HttpFormPost.h"

namespace pf {
namespace {

// AddEvent calls since the last batch post, counted for the whole process.
std::atomic<int> g_pendingEvents{0};

constexpr size_t kMaxValueChars = 259;  // the profile buffer of 260 with its terminator
constexpr const char* kSuccessMarker = "\"error\":0";

std::string ReadValue(const std::string& path, const char* section, const std::string& key) {
  std::string value = platform::IniFile::ReadString(path, section, key, "");
  if (value.size() > kMaxValueChars) value.resize(kMaxValueChars);
  return value;
}

std::vector<std::string> SplitKeywords(const std::string& text) {
  std::vector<std::string> items;
  size_t start = 0;
  while (start <= text.size()) {
    size_t end = text.find(';', start);
    if (end == std::string::npos) end = text.size();
    // An empty item would match every text; it rules nothing.
    if (end > start) items.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  return items;
}

bool EqualsIgnoringCase(const char* a, const char* b) {
  for (; *a && *b; ++a, ++b) {
    char x = *a, y = *b;
    if (x >= 'A' && x <= 'Z') x = static_cast<char>(x - 'A' + 'a');
    if (y >= 'A' && y <= 'Z') y = static_cast<char>(y - 'A' + 'a');
    if (x != y) return false;
  }
  return *a == *b;
}

std::string NewSessionId() {
  const auto uuid = platform::NewUuid();
  char text[9];
  std::snprintf(text, sizeof(text), "%02X%02X%02X%02X", uuid[0], uuid[1], uuid[2], uuid[3]);
  return text;
}

std::string ToUtf8(const std::string& local) {
  auto converted = platform::ConvertCodePage(local, platform::kLocalCodePage, platform::kUtf8CodePage);
  return converted ? *converted : local;
}

}  // namespace

int CreateDataStatisticsUser(const char* interfaceId, std::unique_ptr<IDataStatisticsUser>* out) {
  if (interfaceId && out && EqualsIgnoringCase(interfaceId, kDataStatisticsInterfaceId))
    *out = std::make_unique<CDataStatisticsImp>();
  return 0;
}

CDataStatisticsImp::CDataStatisticsImp(std::shared_ptr<DeviceDetails> details)
    : details_(std::move(details)), sessionId_(NewSessionId()) {
  poster_ = [](const std::string& url, const std::string& body) {
    return HttpFormPost::PostAndFind(url, body, kSuccessMarker, kPostTimeoutMs, kPostTimeoutMs);
  };
}

void CDataStatisticsImp::SetPoster(Poster poster) {
  std::lock_guard<std::mutex> lock(mutex_);
  poster_ = std::move(poster);
}

std::string CDataStatisticsImp::ConfigFile() const {
  return configPath_.empty() ? std::string("Serverlist.ini") : configPath_;
}

bool CDataStatisticsImp::LoadRules(const char* section, Rules* rules) const {
  const std::string path = ConfigFile();
  if (!platform::PathExists(path.c_str())) return false;
  for (int i = 0;; ++i) {
    const std::string key = i == 0 ? "SubmitUrl" : "SubmitUrl" + std::to_string(i);
    const std::string url = ReadValue(path, section, key);
    if (url.empty()) break;
    rules->servers.push_back(url);
  }
  rules->inputKeywords = SplitKeywords(ReadValue(path, section, "InputDataKeyWord"));
  rules->submitKeywords = SplitKeywords(ReadValue(path, section, "SubmitDataKeyWord"));
  return true;
}

Json::Value CDataStatisticsImp::Identity(uint32_t flags, bool withSequence) {
  Json::Value identity(Json::objectValue);
  identity["MachId"] = details_->MachId();
  identity["Mac"] = details_->MacList();
  identity["OS"] = details_->OsCode();
  identity["Sessionid"] = sessionId_;
  if (withSequence) identity["Sequence"] = Json::UInt64(sequence_++);
  if (flags & kStatWithProcessor) identity["CPU"] = details_->Processors();
  if (flags & kStatWithMemory) {
    const std::string total = details_->MemoryTotal();
    if (!total.empty()) identity["Memory_Total_Capacity"] = total;
    identity["Memory"] = details_->MemoryModules();
  }
  if (flags & kStatWithVideoCard) identity["Video_Card"] = details_->VideoCards();
  return identity;
}

int CDataStatisticsImp::PostToServers(const std::vector<std::string>& servers, const std::string& body) {
  for (const std::string& url : servers)
    if (poster_(url, body)) return kStatOk;
  return kStatNothingDone;
}

int CDataStatisticsImp::SetConfigPath(const char* path) {
  try {
    if (!path) return kStatNothingDone;
    std::lock_guard<std::mutex> lock(mutex_);
    configPath_ = path;
    return kStatOk;
  } catch (...) {
    LogCaught(kLogTelemetry, "SetConfigPath");
    return kStatException;
  }
}

int CDataStatisticsImp::AddEvent(const char* code, const char* body, uint32_t flags) {
  try {
    std::lock_guard<std::mutex> lock(mutex_);
    const int count = ++g_pendingEvents;
    if (!code || !body) return kStatNothingDone;
    if (count > kMaxEventsPerBatch) return kStatBatchFull;
    Rules rules;
    if (!LoadRules("SubmitEventDownload", &rules)) return kStatRulesUnavailable;
    for (const std::string& keyword : rules.inputKeywords)
      if (std::strstr(body, keyword.c_str()) == nullptr) return kStatInputKeywordMissing;
    pending_.push_back({code, body, flags});
    return kStatOk;
  } catch (...) {
    LogCaught(kLogTelemetry, "AddEvent");
    return kStatException;
  }
}

int CDataStatisticsImp::SubmitEventDownloadSeveral() {
  try {
    std::lock_guard<std::mutex> lock(mutex_);
    if (g_pendingEvents == 0 || pending_.empty()) {
      // Refused events count towards the limit too; with nothing to post the
      // window still ends here, or a run of refusals would block every later
      // second.
      g_pendingEvents = 0;
      return kStatNothingDone;
    }
    Rules rules;
    LoadRules("SubmitEventDownload", &rules);
    Json::Value batch(Json::arrayValue);
    for (const Pending& event : pending_) {
      const std::string info = EventInfoText(Identity(event.flags, true), event.body);
      for (const std::string& keyword : rules.submitKeywords)
        if (info.find(keyword) == std::string::npos) return kStatSubmitKeywordMissing;
      Json::Value item(Json::objectValue);
      item["code"] = event.code;
      item["info"] = info;
      batch.append(item);
    }
    const std::string text = "data=" + PercentEncode(ToUtf8(CompactJson(batch)));

    Rules post;
    LoadRules("SubmitEventDownloadSeveral", &post);
    const int result = PostToServers(post.servers, text);
    pending_.clear();
    g_pendingEvents = 0;
    return result;
  } catch (...) {
    LogCaught(kLogTelemetry, "SubmitEventDownloadSeveral");
    return kStatException;
  }
}

int CDataStatisticsImp::SubmitSingle(const char* section, const char* code, const char* body,
                                     uint32_t flags) {
  try {
    if (!code || !body) return kStatNothingDone;
    std::lock_guard<std::mutex> lock(mutex_);
    Rules rules;
    if (!LoadRules(section, &rules)) return kStatNothingDone;
    for (const std::string& keyword : rules.inputKeywords)
      if (std::strstr(body, keyword.c_str()) == nullptr) return kStatInputKeywordMissing;
    const std::string info = EventInfoText(Identity(flags, false), body);
    for (const std::string& keyword : rules.submitKeywords)
      if (info.find(keyword) == std::string::npos) return kStatSubmitKeywordMissing;
    const std::string text = "code=" + ToUtf8(code) + "&info=" + PercentEncode(ToUtf8(info));
    return PostToServers(rules.servers, text);
  } catch (...) {
    LogCaught(kLogTelemetry, "SubmitSingle");
    return kStatException;
  }
}

int CDataStatisticsImp::SubmitDeviceInfo(const char* code, const char* body, uint32_t flags) {
  // The device inventory (code "0") is not part of this program's reports.
  if (code && std::strcmp(code, "0") == 0) return kStatNothingDone;
  return SubmitSingle("SubmitEventInst", code, body, flags);
}

int CDataStatisticsImp::SubmitEventUpdt(const char* code, const char* body, uint32_t flags) {
  return SubmitSingle("SubmitEventUpdt", code, body, flags);
}

int CDataStatisticsImp::SubmitEventDownload(const char* code, const char* body, uint32_t flags) {
  return SubmitSingle("SubmitEventDownload", code, body, flags);
}

int CDataStatisticsImp::GetMachineIdText(char* buffer, uint32_t* size) {
  try {
    if (!buffer || !size) return kStatNothingDone;
    const std::string text = DeviceDetails::MachineIdText(details_->MachId());
    if (text.empty()) return kStatNothingDone;
    const auto length = static_cast<uint32_t>(text.size());
    // Room for the terminator as well; a smaller buffer learns the length.
    if (*size <= length) return static_cast<int>(length);
    std::memcpy(buffer, text.c_str(), text.size() + 1);
    *size = length;
    return kStatOk;
  } catch (...) {
    LogCaught(kLogTelemetry, "GetMachineIdText");
    return kStatException;
  }
}

}  // namespace pf
