#pragma once
// The requests sent to HTTP and SOCKS proxies and the reading of their
// replies. Reply readers answer -2 (need more bytes), -1 (refused or
// malformed) or the length of the reply that completes the handshake.
#include <cstdint>
#include <string>

#include "engine/net/QProxySettings.h"

namespace pf {

// "CONNECT <target>" plus Basic credentials and a Domain line when set; the
// masked form shows "******" instead of the credentials (for logs).
std::string BuildHttpProxyRequest(const QProxySettings& proxy, bool masked);
// VN 4, CD 1, port, address, empty user id; with a host name (SOCKS4a) the
// address is 0.0.0.1 and the name follows.
std::string BuildSocks4Request(uint32_t ip, uint16_t port, const std::string& hostName);
std::string BuildSocks5Greeting(bool withCredentials);
// Sub-negotiation 01, user, password; each cut to 255 bytes.
std::string BuildSocks5Login(const std::string& user, const std::string& password);
std::string BuildSocks5Connect(uint32_t ip, uint16_t port, const std::string& hostName);

// Replies longer than this never complete a handshake.
constexpr int kMaxProxyReply = 16384;

int ParseHttpProxyReply(const uint8_t* data, int length);
int ParseSocks4Reply(const uint8_t* data, int length);
int ParseSocks5Reply(const uint8_t* data, int length);

}  // namespace pf
