#include "ui/window/SkinList.h"

#include <wx/control.h>

#include "ui/window/WindowLayout.h"

namespace pf::ui {
namespace {

const wxColour kEvenRow(255, 205, 51);
const wxColour kOddRow(255, 166, 40);
const wxColour kSelectedRow(255, 203, 129);
const wxColour kSelectedFocusedRow(232, 111, 0);
const wxColour kSelectedLine(153, 144, 93);
const wxColour kText(173, 50, 1);
constexpr int kScrollWidth = 3;

}  // namespace

bool SkinList::Click(const wxPoint& at) {
  if (!area_.Contains(at)) return false;
  const int row = (at.y - area_.y) / kRowHeight;
  const int chosen = row < static_cast<int>(rows_.size()) ? row : -1;
  if (chosen == selected_) return false;
  selected_ = chosen;
  return true;
}

void SkinList::Draw(wxDC& dc, const wxFont& font) const {
  dc.SetClippingRegion(area_);
  dc.SetFont(font);
  dc.SetTextForeground(kText);
  dc.SetBackgroundMode(wxBRUSHSTYLE_TRANSPARENT);
  dc.SetPen(*wxTRANSPARENT_PEN);
  const int rowsToFill = (area_.height + kRowHeight - 1) / kRowHeight;
  for (int i = 0; i < rowsToFill; ++i) {
    const wxRect rowRect(area_.x, area_.y + i * kRowHeight, area_.width, kRowHeight);
    wxColour fill = i % 2 == 0 ? kEvenRow : kOddRow;
    const bool selected = i == selected_;
    if (selected) fill = focused_ ? kSelectedFocusedRow : kSelectedRow;
    dc.SetBrush(wxBrush(fill));
    dc.DrawRectangle(rowRect);
    if (selected) {
      dc.SetPen(wxPen(kSelectedLine));
      dc.DrawLine(rowRect.GetLeft(), rowRect.GetBottom(), rowRect.GetRight() + 1, rowRect.GetBottom());
      dc.SetPen(*wxTRANSPARENT_PEN);
    }
    if (i >= static_cast<int>(rows_.size())) continue;
    const wxRect nameRect(rowRect.x + kTextInset, rowRect.y, kNameWidth - kTextInset, kRowHeight);
    const wxRect percentRect(rowRect.x + kNameWidth, rowRect.y, kPercentWidth - kTextInset, kRowHeight);
    const wxString name = wxControl::Ellipsize(wxString::FromUTF8(rows_[i].name), dc, wxELLIPSIZE_END,
                                               nameRect.width);
    dc.DrawLabel(name, nameRect, wxALIGN_LEFT | wxALIGN_CENTER_VERTICAL);
    dc.DrawLabel(wxString::FromUTF8(rows_[i].percent), percentRect, wxALIGN_RIGHT | wxALIGN_CENTER_VERTICAL);
  }
  // The thin scroll bar: its track over the height, a thumb only when the
  // rows do not fit.
  const wxRect track(area_.GetRight() + 1 - kScrollWidth, area_.y, kScrollWidth, area_.height);
  const wxBitmap& trackArt = art_.Get(layout::kScrollTrack);
  if (trackArt.IsOk())
    for (int y = track.y; y < track.GetBottom() + 1; ++y) dc.DrawBitmap(trackArt, track.x, y);
  if (static_cast<int>(rows_.size()) * kRowHeight > area_.height) {
    const wxBitmap& thumb = art_.Get(layout::kScrollThumb);
    if (thumb.IsOk()) dc.DrawBitmap(thumb, track.x, track.y);
  }
  dc.DestroyClippingRegion();
}

}  // namespace pf::ui
