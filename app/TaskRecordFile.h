#pragma once
// The record of one package download across restarts: save folder, start
// time, download time, bytes present, finished files and the remembered
// close choice. A small INI file in the data folder.
#include <array>
#include <cstdint>
#include <optional>
#include <string>

namespace pf {

class TaskRecordFile {
 public:
  static constexpr int kFileCount = 4;
  static constexpr const char* kDefaultFolder = "QLN156";

  explicit TaskRecordFile(std::string path = {}) : path_(std::move(path)) {}
  void SetPath(std::string path) { path_ = std::move(path); }
  const std::string& Path() const { return path_; }
  bool Exists() const;

  // --- read at start-up ---
  std::string SavePath() const;  // empty: choose a drive
  std::string TaskHash(const std::string& packageId) const;
  bool HasCreateTime() const;  // empty or missing: a fresh start
  std::string Entrance(const std::string& installerName) const;
  std::string ResumePath(int index) const;  // empty: the default resume path
  bool IsComplete() const;
  uint64_t LastSize() const;
  uint32_t DownloadTime() const;
  // -1 without a record, else the stored choice (0 when none was stored).
  int ReadCloseSelection() const;

  // --- written ---
  struct RecordWrite {
    std::string taskHash;
    bool withFiles = false;  // the state is back or ready
    std::array<std::string, kFileCount> urls, fileNames;
    std::string entrance;        // empty: the installer name
    std::string installerName;
    std::string folder;          // empty: "QLN156"
    std::optional<uint32_t> createTick;        // default: now
    std::optional<std::string> createTime;     // default: now, local
  };
  void WriteSavePath(const std::string& savePath);
  // Hash, creation stamp and time, the files while back or ready, entrance
  // and folder, in that order.
  void WriteRecord(const RecordWrite& record);
  // The engine took the reload of file `index`.
  void WriteReloadedFile(int index, const std::string& fileName);
  void MarkComplete();
  // Split at 2^31 so that the low part reads back as a signed integer.
  void WriteLastSize(uint64_t total);
  void WriteDownloadTime(uint32_t seconds);
  void WriteCloseSelection(uint32_t choice);
  bool Delete();

  // Finished files: last-write time (local, as the clock is set now) and
  // size, to notice at the next start that a file was touched.
  void WriteFinishInfo(int index, const std::string& saveFolder, const std::string& fileName);
  bool CheckFinishInfo(int index, const std::string& saveFolder, const std::string& fileName) const;

 private:
  std::string Read(const char* section, const std::string& key) const;
  bool Write(const char* section, const std::string& key, const std::string& value);

  std::string path_;
};

// The once-a-second download time: adds one second to the stored value and
// writes it when it passed the highest value this run has seen.
class DownloadTimeCounter {
 public:
  // Called when the record is written (start, reload, verification).
  void Reset() { cache_ = 0; activeSeconds_ = 0; }
  uint32_t Tick(TaskRecordFile& record);
  uint32_t ActiveSeconds() const { return activeSeconds_; }

 private:
  uint32_t cache_ = 0;
  uint32_t activeSeconds_ = 0;
};

// Bytes present, written only when they changed while a download runs.
class LastSizeTracker {
 public:
  // `downloading`: the state is one in which the size is recorded.
  // Returns whether the record was written.
  bool Update(TaskRecordFile& record, uint64_t total, bool downloading);

 private:
  uint64_t lastTotal_ = 0;
};

}  // namespace pf
