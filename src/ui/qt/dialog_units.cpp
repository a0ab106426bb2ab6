#include "ui/qt/dialog_units.h"

#include <QFontMetrics>
#include <QString>

namespace tessarin {
namespace {

// MulDiv: multiply, then divide rounding half away from zero.
int MulDivRound(int value, int mul, int div) {
  const long long product = static_cast<long long>(value) * mul;
  const long long half = div / 2;
  return static_cast<int>(product >= 0 ? (product + half) / div : (product - half) / div);
}

}  // namespace

DialogBaseUnits ComputeBaseUnits(const QFont& font) {
  const QFontMetrics metrics(font);
  const int letters = metrics.horizontalAdvance(
      QStringLiteral("ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz"));
  DialogBaseUnits units;
  units.x = (letters / 26 + 1) / 2;
  units.y = metrics.height();
  if (units.x < 1) units.x = 1;
  if (units.y < 1) units.y = 1;
  return units;
}

int DialogUnitsToPixelsX(int dlu, const DialogBaseUnits& units) {
  return MulDivRound(dlu, units.x, 4);
}

int DialogUnitsToPixelsY(int dlu, const DialogBaseUnits& units) {
  return MulDivRound(dlu, units.y, 8);
}

QRect MapDialogRect(int x, int y, int width, int height, const DialogBaseUnits& units) {
  return QRect(DialogUnitsToPixelsX(x, units), DialogUnitsToPixelsY(y, units),
               DialogUnitsToPixelsX(width, units), DialogUnitsToPixelsY(height, units));
}

}  // namespace tessarin
