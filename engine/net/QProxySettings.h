#pragma once
// How a connection reaches its destination through a proxy, and the
// process-wide default used when a caller passes none.
#include <cstdint>
#include <string>

namespace pf {

enum ProxyType : int {
  kProxyNone = 0,
  kProxyHttp = 1,     // HTTP CONNECT
  kProxySocks4 = 2,
  kProxySocks5 = 3,
  kProxySocks4a = 4,
};

struct QProxySettings {
  int type = kProxyNone;
  uint32_t ip = 0;        // network order
  int port = 0;
  int timeoutSeconds = -1;  // negative = 12
  uint8_t remoteNames = 0;  // hand host names to the proxy (not for SOCKS4)
  uint8_t noConnect = 0;    // an HTTP proxy that is used without a CONNECT request
  std::string user;
  std::string password;
  std::string domain;
  std::string method;  // empty = "CONNECT"
  std::string target;  // the request target; filled at connect time when empty

  bool IsConfigured() const {
    return type >= kProxyHttp && type <= kProxySocks4a && ip != 0 && ip != 0xFFFFFFFFu && port > 0 &&
           port <= 65535;
  }
  int Timeout() const { return timeoutSeconds < 0 ? 12 : timeoutSeconds; }
  // Whether names go to the proxy instead of being resolved here.
  bool PassesNames() const { return IsConfigured() && remoteNames && type != kProxySocks4; }
};

// Copies of the process-wide default, taken and replaced under its lock.
QProxySettings DefaultProxy();
void SetDefaultProxy(const QProxySettings& settings);

// Reads the [Proxy] section of the task-link INI (Type, Host, Port, User,
// Password, RemoteNames) into the default. A missing or unusable section
// leaves no proxy. Answers whether a proxy is now set.
bool LoadDefaultProxy(const std::string& iniPath = "PelicanfetchTaskLink.ini");

}  // namespace pf
