#include "engine/schedule/ReadRequests.h"

#include <algorithm>
#include <chrono>

#include "engine/content/TPieces.h"

namespace pf {

void ReadRequests::Post(Request& request) {
  std::lock_guard<std::mutex> lock(mutex_);
  request.state = kPending;
  pending_.push_back(&request);
}

bool ReadRequests::Withdraw(Request& request) {
  std::lock_guard<std::mutex> lock(mutex_);
  const auto it = std::find(pending_.begin(), pending_.end(), &request);
  if (it == pending_.end()) return false;
  pending_.erase(it);
  return true;
}

bool ReadRequests::Wait(Request& request, int timeoutMs) {
  std::unique_lock<std::mutex> lock(mutex_);
  return served_.wait_for(lock, std::chrono::milliseconds(timeoutMs), [&] { return request.state != kPending; });
}

void ReadRequests::Serve(TPieces& map) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (pending_.empty() || map.pieceLength <= 0) return;
  for (Request* request : pending_) request->state = ServeOne(map, *request);
  pending_.clear();
  served_.notify_all();
}

int ReadRequests::ServeOne(TPieces& map, const Request& request) {
  if (!request.destination || request.length <= 0 || request.offset < 0 ||
      request.offset > map.totalLength - request.length)
    return kFailed;
  const int64_t end = request.offset + request.length;
  const int first = static_cast<int>(request.offset / map.pieceLength);
  const int last = static_cast<int>((end - 1) / map.pieceLength);
  for (int piece = first; piece <= last; ++piece)
    if (!map.IsHeld(piece)) return kFailed;
  // Piece by piece: a block read never crosses a piece.
  for (int64_t at = request.offset; at < end;) {
    const int piece = static_cast<int>(at / map.pieceLength);
    TPiece* target = map.Piece(piece);
    const int inPiece = static_cast<int>(at - map.PieceStart(piece));
    const int length = static_cast<int>(std::min<int64_t>(end - at, target ? target->size - inPiece : 0));
    if (!target || length <= 0 ||
        target->ReadBlock(request.destination + (at - request.offset), length, inPiece, 0, 0, false) != length)
      return kFailed;
    at += length;
  }
  return kDone;
}

}  // namespace pf
