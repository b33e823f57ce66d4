#include "ui/window/MessageWindow.h"

#include <wx/button.h>
#include <wx/sizer.h>
#include <wx/stattext.h>

namespace pf::ui {

MessageWindow::MessageWindow(wxWindow* owner, const std::string& text, const std::string& caption)
    : wxDialog(owner, wxID_ANY, wxString::FromUTF8(caption), wxDefaultPosition, wxDefaultSize,
               wxDEFAULT_DIALOG_STYLE | wxSTAY_ON_TOP) {
  auto* top = new wxBoxSizer(wxVERTICAL);  // the sizer and the controls belong to the window
  top->Add(new wxStaticText(this, wxID_ANY, wxString::FromUTF8(text)), 0, wxALL, 15);
  auto* ok = new wxButton(this, wxID_OK, wxString::FromUTF8("确定"));
  ok->SetDefault();
  top->Add(ok, 0, wxALIGN_RIGHT | wxRIGHT | wxBOTTOM, 10);
  SetSizerAndFit(top);
  ok->Bind(wxEVT_BUTTON, [this](wxCommandEvent&) { Destroy(); });
  Bind(wxEVT_CLOSE_WINDOW, [this](wxCloseEvent&) { Destroy(); });
}

void MessageWindow::Show(wxWindow* owner, const std::string& text, const std::string& caption) {
  // A top-level window lives until it is destroyed; wx deletes it then.
  auto* window = new MessageWindow(owner, text, caption);
  window->CentreOnParent();
  window->wxDialog::Show();
  window->Raise();
}

}  // namespace pf::ui
