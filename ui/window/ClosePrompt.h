#pragma once
// The close prompt ("关闭"): hide to the tray or exit, and whether to
// remember the answer.
#include <wx/dialog.h>

class wxCheckBox;
class wxRadioButton;

namespace pf::ui {

struct CloseAnswer {
  int choice = 0;  // 1 tray, 2 exit, 0 closed without an answer
  bool remember = false;
};

class ClosePrompt : public wxDialog {
 public:
  static constexpr int kTray = 1;
  static constexpr int kExit = 2;

  explicit ClosePrompt(wxWindow* parent);
  // Modal; starts with the tray chosen and nothing remembered.
  CloseAnswer Run();

 private:
  wxRadioButton* tray_;
  wxRadioButton* exit_;
  wxCheckBox* remember_;
};

}  // namespace pf::ui
