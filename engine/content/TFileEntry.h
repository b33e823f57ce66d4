#pragma once
#include <cstdint>
#include <string>

#include "engine/content/TFileHandle.h"

namespace pf {

// One target file of a task: its place in the task's byte stream, its path
// on disk (under the temporary name until complete) and its open file.
struct TFileEntry {
  static constexpr const char* kTempExtension = ".pftmp";
  static constexpr int kSelected = 0;
  static constexpr int kSkipped = -3;

  TFileHandle file;
  int index = 0;
  int priority = kSelected;     // below -2 means skipped
  std::string path;             // where the file is written now
  std::string relativeName;     // as in the torrent
  std::string finalPath;        // set while usesTempName
  uint8_t usesTempName = 0;
  int64_t length = 0;
  int64_t offset = 0;           // of the file's first byte in the byte stream
  int firstPiece = -1;
  int pieceSpan = -1;           // pieces the file touches; 0 for an empty file
  // Bytes were written since they were last made durable; a resume record
  // must not claim them before they are.
  uint8_t writtenSinceSync = 0;

  // Copies the names ('?', CR and LF in the path become '_', except in a
  // leading "\\?\" prefix) and resets the piece fields.
  void Construct(const std::string& path, const std::string& relativeName, int64_t length, int index);
  // firstPiece = offset / pieceLength and the number of pieces touched.
  void SetPieceSpan(int pieceLength);
  // Moves a file that does not exist yet to its temporary name.
  void SetUpTempName();
  // Moves the temporary file to the final name; false leaves all as it was.
  bool RenameToFinal();
  bool IsSkipped() const { return priority < -2; }
};

// Whether anything exists at the path.
bool FileExists(const std::string& path);
// Sets or clears the read-only mark of an existing file (not a directory);
// true when nothing needed changing or the change worked.
bool SetReadOnly(const std::string& path, bool readOnly);
// Free bytes for this user in the directory part of the path (up to the last
// separator); 2147483647 when that cannot be read, so that callers never wait
// on a failed query.
int64_t FreeSpace(const std::string& path);
// Creates every directory named before the last separator.
bool MakeDirectories(const std::string& path);

}  // namespace pf
