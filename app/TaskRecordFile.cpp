#include "app/TaskRecordFile.h"

#include <cstdlib>
#include <filesystem>
#include <system_error>

#include "engine/base/EngineClock.h"
#include "platform/FileSystem.h"
#include "platform/IniFile.h"
#include "platform/LocalTime.h"

namespace pf {
namespace {

constexpr const char* kTask = "PelicanfetchTask";
constexpr const char* kFinish = "PelicanfetchFinishInfo";
constexpr size_t kMaxValueChars = 4095;
constexpr uint64_t kSizeSplit = 2147483648ULL;  // 2^31
constexpr uint64_t kTicksPerSecond = 10000000ULL;  // file times count 100 ns

std::string Indexed(const char* prefix, int index, const char* suffix = "") {
  return prefix + std::to_string(index) + suffix;
}

// Integer reading of a profile value: leading blanks, an optional sign and
// digits; a value that is no number reads as 0.
long long ParseInteger(const std::string& text) {
  size_t i = 0;
  while (i < text.size() && (text[i] == ' ' || text[i] == '\t')) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '-' || text[i] == '+')) negative = text[i++] == '-';
  long long value = 0;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
    value = value * 10 + (text[i] - '0');
    if (value > 0xFFFFFFFFLL) value = 0xFFFFFFFFLL;  // a profile integer is 32 bits
  }
  return negative ? -value : value;
}

std::string JoinFile(const std::string& folder, const std::string& name) {
  if (folder.empty() || folder.back() == '/' || folder.back() == '\\') return folder + name;
  return folder + "/" + name;
}

struct FinishInfo {
  uint32_t timeHigh, timeLow, sizeHigh, sizeLow;
};

std::optional<FinishInfo> CurrentFinishInfo(const std::string& file) {
  uint64_t utc = 0;
  if (!platform::LastWriteTime(file.c_str(), &utc)) return std::nullopt;
  std::error_code ec;
  const uint64_t size = std::filesystem::file_size(file, ec);
  if (ec) return std::nullopt;
  // Local file time with today's offset, as the stored values were made: a
  // change of time zone or daylight saving shows as a changed file.
  const uint64_t local =
      utc + static_cast<uint64_t>(platform::CurrentUtcOffsetSeconds() * static_cast<int64_t>(kTicksPerSecond));
  return FinishInfo{static_cast<uint32_t>(local >> 32), static_cast<uint32_t>(local),
                    static_cast<uint32_t>(size >> 32), static_cast<uint32_t>(size)};
}

}  // namespace

bool TaskRecordFile::Exists() const { return !path_.empty() && platform::PathExists(path_.c_str()); }

std::string TaskRecordFile::Read(const char* section, const std::string& key) const {
  if (path_.empty()) return {};
  std::string value = platform::IniFile::ReadString(path_, section, key, "");
  if (value.size() > kMaxValueChars) value.resize(kMaxValueChars);
  return value;
}

bool TaskRecordFile::Write(const char* section, const std::string& key, const std::string& value) {
  // A failed write leaves the in-memory values in force; nothing to undo.
  return !path_.empty() && platform::IniFile::WriteString(path_, section, key, value);
}

std::string TaskRecordFile::SavePath() const { return Read(kTask, "PelicanfetchTaskSavePath"); }

std::string TaskRecordFile::TaskHash(const std::string& packageId) const {
  const std::string hash = Read(kTask, "PelicanfetchTaskHash");
  return hash.empty() ? packageId : hash;
}

bool TaskRecordFile::HasCreateTime() const { return !Read(kTask, "PelicanfetchTaskCreateTime").empty(); }

std::string TaskRecordFile::Entrance(const std::string& installerName) const {
  const std::string entrance = Read(kTask, "PelicanfetchTaskEntrence");
  return entrance.empty() ? installerName : entrance;
}

std::string TaskRecordFile::ResumePath(int index) const {
  return Read(kTask, Indexed("PelicanfetchDownloadInfo", index));
}

bool TaskRecordFile::IsComplete() const { return Read(kTask, "PelicanfetchTaskIsComplete") == "COMPLETE"; }

uint64_t TaskRecordFile::LastSize() const {
  const long long high = ParseInteger(Read(kTask, "PelicanfetchTaskLastSizeHigh"));
  const long long low = ParseInteger(Read(kTask, "PelicanfetchTaskLastSizeLow"));
  if (high < 0 || low < 0) return 0;
  return static_cast<uint64_t>(high) * kSizeSplit + static_cast<uint64_t>(low);
}

uint32_t TaskRecordFile::DownloadTime() const {
  const long long seconds = ParseInteger(Read(kTask, "PelicanfetchTaskDownloadTime"));
  return seconds < 0 ? 0 : static_cast<uint32_t>(seconds);
}

int TaskRecordFile::ReadCloseSelection() const {
  if (!Exists()) return -1;
  return static_cast<int>(ParseInteger(Read(kTask, "PelicanfetchCloseSelection")));
}

void TaskRecordFile::WriteSavePath(const std::string& savePath) {
  Write(kTask, "PelicanfetchTaskSavePath", savePath);
}

void TaskRecordFile::WriteRecord(const RecordWrite& record) {
  Write(kTask, "PelicanfetchTaskHash", record.taskHash);
  Write(kTask, "PelicanfetchTaskCreateTimeStamp",
        std::to_string(record.createTick.value_or(TickMs())));
  Write(kTask, "PelicanfetchTaskCreateTime",
        record.createTime.value_or(platform::FormatCurrentLocalTime("%Y-%m-%d %X")));
  if (record.withFiles) {
    for (int i = 0; i < kFileCount; ++i) {
      Write(kTask, Indexed("PelicanfetchHttpTaskUrl", i), record.urls[i]);
      Write(kTask, Indexed("PelicanfetchHttpTaskFile", i), record.fileNames[i]);
    }
  }
  Write(kTask, "PelicanfetchTaskEntrence", record.entrance.empty() ? record.installerName : record.entrance);
  Write(kTask, "PelicanfetchTaskFloder", record.folder.empty() ? kDefaultFolder : record.folder);
}

void TaskRecordFile::WriteReloadedFile(int index, const std::string& fileName) {
  Write(kTask, Indexed("PelicanfetchTask", index), fileName);
}

void TaskRecordFile::MarkComplete() { Write(kTask, "PelicanfetchTaskIsComplete", "COMPLETE"); }

void TaskRecordFile::WriteLastSize(uint64_t total) {
  Write(kTask, "PelicanfetchTaskLastSizeHigh", std::to_string(total / kSizeSplit));
  Write(kTask, "PelicanfetchTaskLastSizeLow", std::to_string(total % kSizeSplit));
}

void TaskRecordFile::WriteDownloadTime(uint32_t seconds) {
  Write(kTask, "PelicanfetchTaskDownloadTime", std::to_string(seconds));
}

void TaskRecordFile::WriteCloseSelection(uint32_t choice) {
  Write(kTask, "PelicanfetchCloseSelection", std::to_string(choice));
}

bool TaskRecordFile::Delete() { return !path_.empty() && platform::RemoveFile(path_.c_str()); }

void TaskRecordFile::WriteFinishInfo(int index, const std::string& saveFolder, const std::string& fileName) {
  const auto info = CurrentFinishInfo(JoinFile(saveFolder, fileName));
  if (!info) return;
  Write(kFinish, Indexed("PelicanfetchTask", index, "WriteTimeHigh"), std::to_string(info->timeHigh));
  Write(kFinish, Indexed("PelicanfetchTask", index, "WriteTimeLow"), std::to_string(info->timeLow));
  Write(kFinish, Indexed("PelicanfetchTask", index, "FileSizeHigh"), std::to_string(info->sizeHigh));
  Write(kFinish, Indexed("PelicanfetchTask", index, "FileSizeLow"), std::to_string(info->sizeLow));
}

bool TaskRecordFile::CheckFinishInfo(int index, const std::string& saveFolder,
                                     const std::string& fileName) const {
  const auto info = CurrentFinishInfo(JoinFile(saveFolder, fileName));
  if (!info) return false;
  const std::pair<const char*, uint32_t> fields[] = {{"WriteTimeHigh", info->timeHigh},
                                                     {"WriteTimeLow", info->timeLow},
                                                     {"FileSizeHigh", info->sizeHigh},
                                                     {"FileSizeLow", info->sizeLow}};
  for (const auto& [suffix, value] : fields)
    if (Read(kFinish, Indexed("PelicanfetchTask", index, suffix)) != std::to_string(value)) return false;
  return true;
}

uint32_t DownloadTimeCounter::Tick(TaskRecordFile& record) {
  const uint32_t total = record.DownloadTime() + 1;
  ++activeSeconds_;
  if (total > cache_) {
    cache_ = total;
    record.WriteDownloadTime(total);
  }
  return total;
}

bool LastSizeTracker::Update(TaskRecordFile& record, uint64_t total, bool downloading) {
  const bool write = downloading && total != lastTotal_;
  if (write) record.WriteLastSize(total);
  lastTotal_ = total;
  return write;
}

}  // namespace pf
