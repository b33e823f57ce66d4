#pragma once
// The window's file list, drawn by the window: rows of 17 pixels in
// alternating colours (a file's name and its line), the empty space below
// filled with rows of the same pattern, a selected row highlighted, and a
// thin scroll bar at the right edge (its thumb only when the rows do not
// fit).
#include <wx/dc.h>
#include <wx/font.h>
#include <wx/gdicmn.h>

#include <string>
#include <vector>

#include "ui/window/ArtBitmaps.h"

namespace pf::ui {

class SkinList {
 public:
  static constexpr int kRowHeight = 17;
  static constexpr int kNameWidth = 280;
  static constexpr int kPercentWidth = 128;
  static constexpr int kTextInset = 10;

  struct Row {
    std::string name;
    std::string percent;
  };

  SkinList(ArtBitmaps& art, wxRect area) : art_(art), area_(area) {}

  void SetRows(std::vector<Row> rows) { rows_ = std::move(rows); }
  const std::vector<Row>& Rows() const { return rows_; }
  // A click in the list selects the row under it; true when that changed.
  bool Click(const wxPoint& at);
  void SetFocus(bool focused) { focused_ = focused; }
  void Draw(wxDC& dc, const wxFont& font) const;
  const wxRect& Area() const { return area_; }

 private:
  ArtBitmaps& art_;
  const wxRect area_;
  std::vector<Row> rows_;
  int selected_ = -1;
  bool focused_ = false;
};

}  // namespace pf::ui
