#include "ui/window/TrayIcon.h"

#include <wx/menu.h>

namespace pf::ui {
namespace {

constexpr int kExitItem = wxID_CANCEL;  // the window's cancel command

}  // namespace

TrayIcon::TrayIcon(std::function<void()> restore, std::function<void()> beforeMenu, std::function<void()> exit)
    : restore_(std::move(restore)), beforeMenu_(std::move(beforeMenu)), exit_(std::move(exit)) {
  Bind(wxEVT_TASKBAR_LEFT_DCLICK, [this](wxTaskBarIconEvent&) {
    if (restore_) restore_();
  });
  Bind(wxEVT_MENU, [this](wxCommandEvent&) {
    if (exit_) exit_();
  }, kExitItem);
}

wxMenu* TrayIcon::CreatePopupMenu() {
  if (beforeMenu_) beforeMenu_();
  // wx takes the menu and deletes it once it was shown.
  auto* menu = new wxMenu;
  menu->Append(kExitItem, wxString::FromUTF8("退出(&X)"));
  return menu;
}

}  // namespace pf::ui
