#pragma once
// The view a torrent needs of the piece map from an earlier opening of the
// same task: files already on their way keep their place on disk when the
// task's metainfo is read again. The piece map implements it.
#include "engine/content/TTorrentFile.h"

namespace pf {

class TTorrentPreviousFiles {
 public:
  virtual ~TTorrentPreviousFiles() = default;

  // Only a complete layout (every file entry made and sized) is taken over.
  virtual bool IsComplete() const = 0;
  virtual int FileCount() const = 0;
  // Place of the entry at `index`; false when there is no such entry.
  virtual bool FilePlace(int index, TTorrentFilePlace& place) const = 0;
  // Drops per-file state (open handles, skip marks) so that the entries can
  // be reused by the new layout. Paths stay readable through FilePlace.
  virtual void ClearFileState() = 0;
};

}  // namespace pf
