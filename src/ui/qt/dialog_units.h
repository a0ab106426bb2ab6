// Dialog units: template positions are given in units of the dialog font, a
// quarter of its average character width across and an eighth of its height
// down, so a layout keeps its proportions whatever font the system uses.
#pragma once

#include <QFont>
#include <QRect>

namespace tessarin {

/// The dialog font's base units in pixels.
struct DialogBaseUnits {
  int x = 0;  ///< average width of "A".."Z","a".."z", rounded
  int y = 0;  ///< font height
};

/// The base units of `font` as the platform computes them: x = (width of the
/// 52 letters / 26 + 1) / 2, y = the font's line height.
DialogBaseUnits ComputeBaseUnits(const QFont& font);

/// Dialog units to pixels, rounded to nearest: x * baseX / 4, y * baseY / 8.
int DialogUnitsToPixelsX(int dlu, const DialogBaseUnits& units);
int DialogUnitsToPixelsY(int dlu, const DialogBaseUnits& units);
/// A rectangle (x, y, width, height) in dialog units to pixels.
QRect MapDialogRect(int x, int y, int width, int height, const DialogBaseUnits& units);

}  // namespace tessarin
