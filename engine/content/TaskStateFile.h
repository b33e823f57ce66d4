#pragma once
#include <string>

namespace pf {

// The four values a task keeps across restarts.
struct TaskStateStrings {
  std::string torrent;  // metainfo bytes
  std::string part;     // file list of the piece map
  std::string bits;     // resume record of the piece map
  std::string seeds;    // kept from an earlier file and written back unchanged
};

// The task state file: one bencoded dictionary of byte strings under the keys
// "bits", "part", "seeds" and "torrent".
class TaskStateFile {
 public:
  // Larger files are no state file of ours; refusing them bounds memory.
  static constexpr long long kMaxFileBytes = 1LL << 30;

  // Reads the file; a value replaces the one in `out` only when it is a text
  // longer than 2 bytes. Keys it does not know (a newer build's) are ignored.
  // False, with `out` untouched, when the file cannot be read or parsed.
  static bool Read(const std::string& path, TaskStateStrings& out);
  // Writes the non-empty values in key order, replacing the file in one step
  // (temporary file, sync, rename).
  static bool Write(const std::string& path, const TaskStateStrings& in);
  // Encodes the dictionary Write would store.
  static std::string Encode(const TaskStateStrings& in);
  // True when no file is left at the path.
  static bool Delete(const std::string& path);
  // The partial-pieces file kept beside the state file.
  static std::string PartialsPath(const std::string& path) { return path + "df"; }
};

}  // namespace pf
