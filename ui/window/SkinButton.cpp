#include "ui/window/SkinButton.h"

namespace pf::ui {

SkinButton::SkinButton(ArtBitmaps& art, layout::ButtonArt bitmaps, wxPoint at, std::function<void()> action,
                       bool shaped)
    : art_(art), bitmaps_(bitmaps), at_(at), action_(std::move(action)), shaped_(shaped) {}

wxRect SkinButton::Rect() const {
  const wxBitmap& normal = art_.Get(bitmaps_.normal);
  return wxRect(at_, normal.IsOk() ? normal.GetSize() : wxSize(0, 0));
}

void SkinButton::Draw(wxDC& dc) {
  if (!shown_) return;
  int id = bitmaps_.normal;
  if (!enabled_)
    id = bitmaps_.disabled;
  else if (pressed_ && hover_)
    id = bitmaps_.pressed;
  else if (hover_)
    id = bitmaps_.hover;
  const wxBitmap& bitmap = shaped_ ? art_.Masked(id) : art_.Get(id);
  if (bitmap.IsOk()) dc.DrawBitmap(bitmap, at_, shaped_);
}

bool SkinButton::MouseMove(const wxPoint& at) {
  const bool over = shown_ && Rect().Contains(at);
  if (over == hover_) return false;
  hover_ = over;
  return true;
}

bool SkinButton::MouseDown(const wxPoint& at) {
  if (!shown_ || !enabled_ || !Rect().Contains(at)) return false;
  pressed_ = true;
  return true;
}

bool SkinButton::MouseUp(const wxPoint& at) {
  if (!pressed_) return false;
  pressed_ = false;
  if (shown_ && enabled_ && Rect().Contains(at) && action_) action_();
  return true;
}

bool SkinButton::MouseLeave() {
  if (!hover_ && !pressed_) return false;
  hover_ = false;
  return true;
}

}  // namespace pf::ui
