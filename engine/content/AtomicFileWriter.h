#pragma once
#include <cstdint>
#include <memory>
#include <string>
#include <string_view>

namespace pf {
namespace platform {
class File;
}

// Writes a file under a temporary name beside it and moves it over the old
// one only once its bytes are durable, so that a crash leaves the old file
// or the new one, never a torn one.
class AtomicFileWriter {
 public:
  static constexpr const char* kTempSuffix = ".new";

  explicit AtomicFileWriter(std::string path);
  // Removes the temporary file when Commit was not reached.
  ~AtomicFileWriter();
  AtomicFileWriter(const AtomicFileWriter&) = delete;
  AtomicFileWriter& operator=(const AtomicFileWriter&) = delete;

  // Creates (or empties) the temporary file.
  bool Open();
  // Appends; false on a short write, after which Commit fails.
  bool Write(const void* bytes, int64_t count);
  // Syncs the temporary file, renames it over the target and syncs the folder.
  bool Commit();
  void Abandon();

  // Open, one write, commit.
  static bool WriteWhole(const std::string& path, std::string_view bytes);

 private:
  std::string path_;
  std::string temp_;
  std::unique_ptr<platform::File> file_;
  int64_t position_ = 0;
  bool failed_ = true;
  bool pending_ = false;  // a temporary file may exist and is not committed
};

}  // namespace pf
