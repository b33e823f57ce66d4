#pragma once
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "engine/net/QTcpSocket.h"
#include "engine/peers/TPeerObject.h"
#include "engine/wire/FtpReply.h"

namespace pf {

// Fetches pieces from an FTP mirror: logs in on the control connection,
// changes to the file's folder, switches to image type and learns the
// file's size, then reads runs of blocks through passive-mode data
// connections, one PASV, REST, RETR cycle per run. Can also fetch a whole
// file into memory. Every step is a state the task's tick polls: a command
// is due, being sent, or its reply (or the data) awaited.
class TFtpPeer : public TPeerObject {
 public:
  enum class Step : uint8_t {
    kGreeting,   // the server's 220
    kUser,
    kPassword,
    kDirectory,  // CWD
    kType,       // TYPE I
    kSize,       // SIZE, after TYPE I: servers refuse sizes in ASCII mode
    kPassive,    // PASV; between cycles the peer waits here for requests
    kRestart,    // REST
    kRetrieve,   // RETR
    kData,       // reading the data connection
    kClosing,    // the transfer's closing reply
  };
  enum class Io : uint8_t { kCommandDue, kSending, kAwaiting };

  // Blocks the data stream may be ahead of the next request and still be
  // read through, rather than starting a new cycle.
  static constexpr int64_t kMaxSkip = 5 * kBlockSize;
  // A whole file fetched into memory is a torrent: anything larger is not.
  static constexpr int64_t kMaxWholeContent = 64 << 20;
  // Data connections in a row that the server ended before a block came
  // (the file is shorter than it said) before the source is held back.
  static constexpr int kMaxEmptyCycles = 2;

  explicit TFtpPeer(PeerHost* host) : TPeerObject(host, kFtp) {}

  bool Process() override;
  bool AfterTick() override;
  bool FillRequests() override;
  void Reset() override;
  bool AttachSource(TPeerId* source) override;
  bool IsStalled() override;
  void ReleaseSegment() override;
  uint64_t BytesReceivedSoFar() const override { return dataReceived_; }
  const QTcpSocket* DataSocket() const override { return dataConnection.get(); }

  Step step = Step::kGreeting;
  Io ioState = Io::kAwaiting;
  std::unique_ptr<QTcpSocket> dataConnection;
  int64_t streamPos = 0;   // file offset of the next byte on the data connection
  int64_t skipBytes = 0;   // data bytes to discard before the next requested block

 private:
  enum class Delivery { kWait, kNewCycle, kRefused };

  // The next reply on the control connection: true with `reply` set, true
  // with no code while it has not arrived, false when the connection broke
  // or the server does not speak FTP (told, and held back).
  bool ReadReply(FtpReply* reply);
  // The reply of the current step has arrived.
  bool OnReply(const FtpReply& reply);
  bool OnPassive(const FtpReply& reply);
  bool OnSize(const FtpReply& reply);
  // False, with the source told and dropped, when a file of `size` bytes
  // cannot be what the task fetches.
  bool SizeFits(int64_t size);
  // An answer the step does not accept: told, with what the pool does about
  // the source, and the step fails.
  bool Refused(const FtpReply& reply);
  bool SendCommand(const char* verb, const std::string& argument = {});
  // REST at the first queued block (or where a whole file's read stands).
  bool SendRestart();
  bool ReadData();
  bool ReadWholeContent();
  Delivery Deliver();
  // Ends the current cycle: the data connection is closed and the
  // transfer's closing reply awaited.
  void EndCycle();
  void CloseData();
  void StartStep(Step next) {
    step = next;
    ioState = Io::kCommandDue;
  }
  bool ConnectionFailed();
  bool GiveUp(SourceProblem problem, const std::string& detail, SourceRetry retry, int seconds);

  std::optional<FtpPath> path_;
  std::string user_;
  std::string password_;
  uint64_t dataReceived_ = 0;   // over all data connections of this peer
  int64_t cycleStart_ = 0;      // where the current data connection began in the file
  int emptyCycles_ = 0;
  // The data connection of a cycle under way was closed by us (the segment
  // was taken away): the cycle's remaining replies end it, whatever they say.
  uint8_t abandoned_ = 0;
};

}  // namespace pf
