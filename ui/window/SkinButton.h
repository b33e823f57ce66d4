#pragma once
// A button drawn by the window from its four bitmaps (normal, pressed,
// hover, disabled): it takes the normal bitmap's size, follows the mouse
// and runs its action when released over it. Lives in the window's thread.
#include <wx/dc.h>
#include <wx/gdicmn.h>

#include <functional>

#include "ui/window/ArtBitmaps.h"
#include "ui/window/WindowLayout.h"

namespace pf::ui {

class SkinButton {
 public:
  // `shaped`: the colour key is cut out of its bitmaps.
  SkinButton(ArtBitmaps& art, layout::ButtonArt bitmaps, wxPoint at, std::function<void()> action,
             bool shaped = false);

  wxRect Rect() const;
  void Show(bool shown) { shown_ = shown; }
  void Enable(bool enabled) { enabled_ = enabled; }
  bool IsShown() const { return shown_; }
  bool IsEnabled() const { return enabled_; }
  void Draw(wxDC& dc);

  // The mouse over the window; each answers whether the button's look changed.
  bool MouseMove(const wxPoint& at);
  bool MouseDown(const wxPoint& at);
  // Runs the action when the press began and ends over an enabled button.
  bool MouseUp(const wxPoint& at);
  bool MouseLeave();

 private:
  ArtBitmaps& art_;
  const layout::ButtonArt bitmaps_;
  const wxPoint at_;
  const std::function<void()> action_;
  const bool shaped_;
  bool shown_ = true;
  bool enabled_ = true;
  bool hover_ = false;
  bool pressed_ = false;
};

}  // namespace pf::ui
