#include "ui/window/SettingsDialog.h"

#include <wx/button.h>
#include <wx/checkbox.h>
#include <wx/sizer.h>
#include <wx/spinbutt.h>
#include <wx/statbox.h>
#include <wx/stattext.h>
#include <wx/textctrl.h>
#include <wx/valtext.h>

#include "app/TaskShares.h"
#include "telemetry/ReportingCalls.h"

namespace pf::ui {
namespace {

constexpr const char* kNoLimitText = "无限制";

wxString Text(const char* utf8) { return wxString::FromUTF8(utf8); }

}  // namespace

SettingsDialog::SettingsDialog(wxWindow* parent) : wxDialog(parent, wxID_ANY, Text("下载设置")) {
  auto* top = new wxBoxSizer(wxVERTICAL);  // sizers and controls belong to the dialog

  auto* speed = new wxStaticBoxSizer(wxHORIZONTAL, this, Text("速度设置"));
  limit_ = new wxCheckBox(speed->GetStaticBox(), wxID_ANY, Text("下载速度限制:"));
  rate_ = new wxTextCtrl(speed->GetStaticBox(), wxID_ANY, wxEmptyString, wxDefaultPosition, wxSize(80, -1), 0,
                         wxTextValidator(wxFILTER_DIGITS));
  spin_ = new wxSpinButton(speed->GetStaticBox(), wxID_ANY, wxDefaultPosition, wxDefaultSize, wxSP_VERTICAL);
  spin_->SetRange(kLowestRateLimitKB, kHighestRateLimitKB);
  spin_->SetValue(kDefaultRate);
  speed->Add(limit_, 0, wxALIGN_CENTER_VERTICAL | wxALL, 5);
  speed->Add(rate_, 0, wxALIGN_CENTER_VERTICAL | wxTOP | wxBOTTOM, 5);
  speed->Add(spin_, 0, wxALIGN_CENTER_VERTICAL | wxTOP | wxBOTTOM | wxRIGHT, 5);
  speed->Add(new wxStaticText(speed->GetStaticBox(), wxID_ANY, "KB/s"), 0, wxALIGN_CENTER_VERTICAL | wxALL, 5);
  top->Add(speed, 0, wxEXPAND | wxALL, 8);

  auto* advanced = new wxStaticBoxSizer(wxVERTICAL, this, Text("高级设置"));
  shutdown_ = new wxCheckBox(advanced->GetStaticBox(), wxID_ANY, Text("下载完成后关机"));
  p2p_ = new wxCheckBox(advanced->GetStaticBox(), wxID_ANY, Text("启用P2P"));
  p2p_->Hide();
  advanced->Add(shutdown_, 0, wxALL, 5);
  advanced->Add(p2p_, 0, wxALL, 5);
  top->Add(advanced, 0, wxEXPAND | wxLEFT | wxRIGHT, 8);

  auto* buttons = new wxBoxSizer(wxHORIZONTAL);
  auto* apply = new wxButton(this, wxID_OK, Text("设置"));
  auto* cancel = new wxButton(this, wxID_CANCEL, Text("取消"));
  apply->SetDefault();
  buttons->AddStretchSpacer();
  buttons->Add(apply, 0, wxALL, 5);
  buttons->Add(cancel, 0, wxALL, 5);
  top->Add(buttons, 0, wxEXPAND | wxALL, 5);
  SetSizerAndFit(top);

  limit_->Bind(wxEVT_CHECKBOX, [this](wxCommandEvent&) { OnLimitClicked(); });
  spin_->Bind(wxEVT_SPIN, [this](wxSpinEvent& e) { rate_->ChangeValue(wxString::Format("%d", e.GetPosition())); });
  apply->Bind(wxEVT_BUTTON, [this](wxCommandEvent&) { OnApply(); });
}

std::optional<DownloadSettings> SettingsDialog::Run(const DownloadSettings& current) {
  ShowLimit(current.rateLimit != 0, current.rateLimit);
  shutdown_->SetValue(current.shutdownWhenDone);
  p2p_->SetValue(current.p2p);
  result_ = current;
  limit_->SetFocus();
  if (ShowModal() != wxID_OK) return std::nullopt;
  return result_;
}

void SettingsDialog::ShowLimit(bool limited, int rate) {
  limit_->SetValue(limited);
  rate_->Enable(limited);
  spin_->Enable(limited);
  if (limited) {
    spin_->SetValue(rate);
    rate_->ChangeValue(wxString::Format("%d", rate));
  } else {
    rate_->ChangeValue(Text(kNoLimitText));
  }
}

void SettingsDialog::OnLimitClicked() { ShowLimit(limit_->GetValue(), kDefaultRate); }

void SettingsDialog::OnApply() {
  int rate = 0;
  if (limit_->GetValue()) {
    long typed = 0;
    if (!rate_->GetValue().ToLong(&typed) || typed < kLowestRateLimitKB || typed > kHighestRateLimitKB) {
      ShowMessageBoxAsync(this, "您设置的速度不在允许范围内[10KB/s - 30000KB/s]，请重新设置限速！", "警告", 0);
      return;  // the dialog stays open; nothing is applied
    }
    rate = static_cast<int>(typed);
  }
  result_.rateLimit = rate;
  result_.shutdownWhenDone = shutdown_->GetValue();
  result_.p2p = p2p_->GetValue();
  EndModal(wxID_OK);
}

}  // namespace pf::ui
