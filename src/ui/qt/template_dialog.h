// A Qt dialog built from a dialog template: one widget per control, placed at
// its template position converted with the dialog font's base units, with
// the template's captions and styles, and addressed by control id.
#pragma once

#include <QDialog>
#include <QIcon>
#include <QPixmap>
#include <map>

#include "ui/dialog_templates.h"
#include "ui/qt/dialog_units.h"

class QLabel;

namespace tessarin {

/// The picture of an icon resource (128, the application icon); a null icon
/// for an unknown id.
QIcon ResourceIcon(int iconId);

/// Gives `label` a smaller font (down to three quarters of the dialog font)
/// when its text does not fit its width in the dialog font.
void FitLabelText(QLabel* label);

/// Widgets per control kind: push buttons QPushButton, edits QLineEdit,
/// static texts QLabel, the drop-down list QComboBox, the progress bar
/// QProgressBar, group boxes QGroupBox, icons a QLabel showing the picture.
class TemplateDialog : public QDialog {
  Q_OBJECT

 public:
  /// Builds the window and every control of `dialog`. The window has a fixed
  /// size (the template's, converted), a caption, a close box, a minimise box
  /// only when the template has one, and never a maximise box.
  explicit TemplateDialog(const DialogTemplate& dialog, QWidget* parent = nullptr);

  /// The widget of control `id`, or null (also for controls without an id).
  QWidget* Control(int id) const;
  /// The base units the template was converted with.
  const DialogBaseUnits& BaseUnits() const { return m_units; }
  const DialogTemplate& Template() const { return m_template; }

 private:
  QWidget* CreateControl(const ControlTemplate& control);

  const DialogTemplate& m_template;
  DialogBaseUnits m_units;
  std::map<int, QWidget*> m_controls;
};

}  // namespace tessarin
