#pragma once
// The notification-area icon that stands for the hidden window: a double
// click brings the window back, the menu's "退出(&X)" exits.
#include <wx/taskbar.h>

#include <functional>

namespace pf::ui {

class TrayIcon : public wxTaskBarIcon {
 public:
  // `restore`: the double click; `beforeMenu`: the menu is about to show
  // (the exit flags are set then); `exit`: its item was chosen.
  TrayIcon(std::function<void()> restore, std::function<void()> beforeMenu, std::function<void()> exit);
  // Whether a tray host runs (without one the window is minimised instead).
  static bool HostAvailable() { return wxTaskBarIcon::IsAvailable(); }

 protected:
  wxMenu* CreatePopupMenu() override;

 private:
  std::function<void()> restore_, beforeMenu_, exit_;
};

}  // namespace pf::ui
