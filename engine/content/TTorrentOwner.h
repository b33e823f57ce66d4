#pragma once
// What a torrent reports to the task that owns it. The task's work object
// implements it; a torrent without an owner reports nothing.
#include <string_view>

namespace pf {

class TTorrentOwner {
 public:
  virtual ~TTorrentOwner() = default;

  // 3 while the metainfo is read, 4 afterwards.
  virtual void SetRunPhase(int phase) = 0;
  // Task state code, e.g. 20211 for an unreadable torrent.
  virtual void SetErrorCode(int code) = 0;
  // Stops the task; an empty text reports nothing to the user.
  virtual void Fail(std::string_view text) = 0;
  // Reads a task-link template (the text contains "$End$") into the piece
  // map. False when it cannot be used.
  virtual bool ReadTaskLinkTemplate(std::string_view link) = 0;
};

}  // namespace pf
