#include "engine/net/QProxySettings.h"

#include <mutex>

#include "engine/net/HostResolver.h"
#include "platform/IniFile.h"

namespace pf {
namespace {

std::mutex& DefaultLock() {
  static std::mutex lock;
  return lock;
}

QProxySettings& DefaultSettings() {
  static QProxySettings settings;
  return settings;
}

}  // namespace

QProxySettings DefaultProxy() {
  std::lock_guard<std::mutex> lock(DefaultLock());
  return DefaultSettings();
}

void SetDefaultProxy(const QProxySettings& settings) {
  std::lock_guard<std::mutex> lock(DefaultLock());
  DefaultSettings() = settings;
}

bool LoadDefaultProxy(const std::string& iniPath) {
  using platform::IniFile;
  QProxySettings settings;
  settings.type = IniFile::ReadInt(iniPath, "Proxy", "Type", kProxyNone);
  const std::string host = IniFile::ReadString(iniPath, "Proxy", "Host", "");
  settings.port = IniFile::ReadInt(iniPath, "Proxy", "Port", 0);
  settings.user = IniFile::ReadString(iniPath, "Proxy", "User", "");
  settings.password = IniFile::ReadString(iniPath, "Proxy", "Password", "");
  settings.remoteNames = IniFile::ReadInt(iniPath, "Proxy", "RemoteNames", 0) != 0 ? 1 : 0;
  if (settings.type >= kProxyHttp && settings.type <= kProxySocks4a && !host.empty() && host.size() < 256)
    settings.ip = ResolveOne(host);
  if (!settings.IsConfigured()) settings = QProxySettings();
  SetDefaultProxy(settings);
  return settings.IsConfigured();
}

}  // namespace pf
