#include "ui/window/ClosePrompt.h"

#include <wx/button.h>
#include <wx/checkbox.h>
#include <wx/radiobut.h>
#include <wx/sizer.h>
#include <wx/statbox.h>

namespace pf::ui {
namespace {

wxString Text(const char* utf8) { return wxString::FromUTF8(utf8); }

}  // namespace

ClosePrompt::ClosePrompt(wxWindow* parent) : wxDialog(parent, wxID_ANY, Text("关闭")) {
  auto* top = new wxBoxSizer(wxVERTICAL);  // sizers and controls belong to the dialog
  auto* box = new wxStaticBoxSizer(wxVERTICAL, this, Text("您点击了关闭按钮，您是想："));
  tray_ = new wxRadioButton(box->GetStaticBox(), wxID_ANY, Text("最小化到系统托盘，不退出程序"),
                            wxDefaultPosition, wxDefaultSize, wxRB_GROUP);
  exit_ = new wxRadioButton(box->GetStaticBox(), wxID_ANY, Text("退出程序"));
  box->Add(tray_, 0, wxALL, 5);
  box->Add(exit_, 0, wxALL, 5);
  top->Add(box, 0, wxEXPAND | wxALL, 8);
  auto* row = new wxBoxSizer(wxHORIZONTAL);
  remember_ = new wxCheckBox(this, wxID_ANY, Text("记住我的选择"));
  auto* confirm = new wxButton(this, wxID_OK, Text("确定"));
  confirm->SetDefault();
  row->Add(remember_, 1, wxALIGN_CENTER_VERTICAL | wxALL, 5);
  row->Add(confirm, 0, wxALL, 5);
  top->Add(row, 0, wxEXPAND | wxLEFT | wxRIGHT | wxBOTTOM, 8);
  SetSizerAndFit(top);
}

CloseAnswer ClosePrompt::Run() {
  tray_->SetValue(true);
  remember_->SetValue(false);
  tray_->SetFocus();
  if (ShowModal() != wxID_OK) return {};
  return {tray_->GetValue() ? kTray : kExit, remember_->GetValue()};
}

}  // namespace pf::ui
