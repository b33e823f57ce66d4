#pragma once
// A message shown without holding anything up: a small window of its own
// with the text and "确定"; it goes away when closed.
#include <wx/dialog.h>

#include <string>

namespace pf::ui {

class MessageWindow : public wxDialog {
 public:
  // Creates and shows it; the window deletes itself when closed.
  static void Show(wxWindow* owner, const std::string& text, const std::string& caption);

 private:
  MessageWindow(wxWindow* owner, const std::string& text, const std::string& caption);
};

}  // namespace pf::ui
