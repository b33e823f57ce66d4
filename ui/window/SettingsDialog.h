#pragma once
// The settings dialog ("下载设置"): the download rate limit (a check box and
// a digits-only field with its up-down control, 10 to 30000 KB/s) and the
// shutdown after completion. The P2P box exists but stays hidden: the
// resource list decides P2P.
#include <wx/dialog.h>

#include <optional>

class wxCheckBox;
class wxSpinButton;
class wxTextCtrl;

namespace pf::ui {

struct DownloadSettings {
  int rateLimit = 0;  // KB/s, 0 = none
  bool shutdownWhenDone = false;
  bool p2p = true;
};

class SettingsDialog : public wxDialog {
 public:
  static constexpr int kDefaultRate = 200;

  explicit SettingsDialog(wxWindow* parent);
  // Shows the dialog modally, starting from `current`: the settings to
  // apply, or nothing when it was cancelled.
  std::optional<DownloadSettings> Run(const DownloadSettings& current);

 private:
  void ShowLimit(bool limited, int rate);
  void OnLimitClicked();
  void OnApply();

  wxCheckBox* limit_;
  wxTextCtrl* rate_;
  wxSpinButton* spin_;
  wxCheckBox* shutdown_;
  wxCheckBox* p2p_;
  DownloadSettings result_;
};

}  // namespace pf::ui
