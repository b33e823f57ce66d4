#pragma once
// Where everything of the main window is, in client pixels, and which
// bitmap resource draws it.
#include <wx/colour.h>
#include <wx/gdicmn.h>

namespace pf::ui::layout {

constexpr int kWidth = 411;
constexpr int kHeight = 307;
constexpr int kListExtra = 78;  // the window grows by this when the file list shows
constexpr int kCaptionHeight = 38;  // the strip that drags the window

// The colour that is not part of the window (nor of the action buttons).
inline wxColour ColourKey() { return wxColour(232, 5, 246); }

// Bitmap resources.
enum Art : int {
  kProgramIcon = 128,
  kBackgroundWithList = 140,
  kBackground = 186,
  kBarTrough = 170,
  kDownloadBar = 171,
  kVerificationBar = 172,
  kScrollThumb = 156,
  kScrollTrack = 163,
};

// A button's four bitmaps.
struct ButtonArt {
  int normal, pressed, hover, disabled;
};
constexpr ButtonArt kStartArt{198, 200, 199, 201};
constexpr ButtonArt kPauseArt{202, 204, 203, 205};
constexpr ButtonArt kResumeArt{210, 212, 211, 213};
constexpr ButtonArt kInstallArt{231, 233, 232, 234};
constexpr ButtonArt kFolderArt{214, 216, 215, 235};
constexpr ButtonArt kSettingsArt{228, 230, 229, 228};
constexpr ButtonArt kMinimiseArt{218, 220, 219, 218};
constexpr ButtonArt kCloseArt{222, 224, 223, 222};

// Button places (top-left; a button takes its bitmap's size).
inline const wxPoint kActionButtonAt{318, 244};
inline const wxPoint kFolderButtonAt{372, 203};
inline const wxPoint kSettingsButtonAt{318, 10};
inline const wxPoint kMinimiseButtonAt{346, 10};
inline const wxPoint kCloseButtonAt{374, 10};

// Text areas (left, top, right, bottom as rectangles).
inline wxRect Area(int left, int top, int right, int bottom) { return wxRect(left, top, right - left, bottom - top); }
inline const wxRect kVersionArea = Area(9, 205, 130, 230);
inline const wxRect kFolderLabelArea = Area(190, 205, 250, 230);
inline const wxRect kFolderArea = Area(255, 205, 367, 230);
inline const wxRect kSizeArea = Area(9, 260, 124, 280);
inline const wxRect kStatusArea = Area(129, 260, 204, 280);
inline const wxRect kProgressLabelArea = Area(209, 260, 259, 280);
inline const wxRect kPercentArea = Area(262, 260, 312, 280);
inline const wxRect kBannerArea = Area(129, 260, 312, 280);
inline const wxRect kProgressBarArea = Area(11, 244, 297, 256);
// Clicking here shows or hides the file list.
inline const wxRect kListToggleArea = Area(186, 278, 218, 308);
// The file list where it shows.
inline const wxRect kListArea = Area(0, 322, 408, 400);

inline wxColour VersionColour() { return wxColour(26, 92, 0); }
inline wxColour LabelColour() { return wxColour(108, 42, 17); }
inline wxColour PercentColour() { return wxColour(0, 65, 173); }

constexpr int kFontPixels = 18;

}  // namespace pf::ui::layout
