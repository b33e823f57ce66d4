#pragma once
#include <functional>
#include <memory>
#include <mutex>
#include <string>
#include <vector>

#include "telemetry/DeviceDetails.h"
#include "telemetry/IDataStatisticsUser.h"

namespace pf {

class CDataStatisticsImp : public IDataStatisticsUser {
 public:
  // Performs one POST and answers whether the server accepted it. Tests put
  // their own in place to see the exact bytes.
  using Poster = std::function<bool(const std::string& url, const std::string& body)>;

  explicit CDataStatisticsImp(std::shared_ptr<DeviceDetails> details = DeviceDetails::System());

  int SubmitDeviceInfo(const char* code, const char* body, uint32_t flags) override;
  int SubmitEventUpdt(const char* code, const char* body, uint32_t flags) override;
  int SubmitEventDownload(const char* code, const char* body, uint32_t flags) override;
  int SetConfigPath(const char* path) override;
  int AddEvent(const char* code, const char* body, uint32_t flags) override;
  int SubmitEventDownloadSeveral() override;
  int GetMachineIdText(char* buffer, uint32_t* size) override;

  void SetPoster(Poster poster);
  const std::string& SessionId() const { return sessionId_; }

  static constexpr int kMaxEventsPerBatch = 20;
  static constexpr uint32_t kPostTimeoutMs = 6000;

 private:
  struct Rules {
    std::vector<std::string> servers, inputKeywords, submitKeywords;
  };
  struct Pending {
    std::string code, body;
    uint32_t flags;
  };

  std::string ConfigFile() const;  // call with mutex_ held
  bool LoadRules(const char* section, Rules* rules) const;
  Json::Value Identity(uint32_t flags, bool withSequence);
  int PostToServers(const std::vector<std::string>& servers, const std::string& body);
  int SubmitSingle(const char* section, const char* code, const char* body, uint32_t flags);

  std::shared_ptr<DeviceDetails> details_;
  std::string sessionId_;
  std::mutex mutex_;
  std::string configPath_;
  std::vector<Pending> pending_;
  uint64_t sequence_ = 0;
  Poster poster_;
};

}  // namespace pf
