#pragma once
#include <cstdint>
#include <string>

#include "engine/base/TRefObject.h"
#include "engine/content/SourceKind.h"

namespace pf {

// What a piece needs to know of the source that supplied its bytes: who it
// is (for the bad-piece report) and where to book good and bad pieces.
class TPieceSource : public TRefObject {
 public:
  virtual int SourceKind() const = 0;
  virtual std::string AddressText() const = 0;  // the source address as given
  virtual uint32_t Ipv4() const = 0;            // host byte order
  virtual uint16_t Port() const = 0;
  // A piece it supplied alone was good (written out) or bad.
  virtual void AddScore(int amount) = 0;
  virtual void AddBadPiece() = 0;
  virtual void ClearBadPieces() = 0;
  // A piece whose last bytes it sent failed its check after it had moved on.
  virtual void OnBadPiece() {}
};

}  // namespace pf
