#pragma once
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <vector>

namespace pf {

class TPieces;

// Reads of the task's content asked for by other threads (a peer wanting
// bytes at an offset): posted under the request lock, served by the work
// thread at the start of its tick from held pieces only.
class ReadRequests {
 public:
  struct Request {
    int64_t offset = 0;
    int length = 0;
    uint8_t* destination = nullptr;
    int state = kPending;
  };
  enum State { kPending = 0, kDone = 1, kFailed = -1 };

  // The request must stay alive until it is no longer pending or withdrawn.
  void Post(Request& request);
  // Takes a pending request back; false when it was already served.
  bool Withdraw(Request& request);
  // Waits until the request is served; false on time-out.
  bool Wait(Request& request, int timeoutMs);
  // Serves every pending request: one whose bytes are not all in held
  // pieces is refused, a short read fails it.
  void Serve(TPieces& map);

 private:
  static int ServeOne(TPieces& map, const Request& request);

  std::mutex mutex_;
  std::condition_variable served_;
  std::vector<Request*> pending_;
};

}  // namespace pf
