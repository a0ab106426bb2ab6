#include "ui/qt/template_dialog.h"

#include <QApplication>
#include <QComboBox>
#include <QFontMetrics>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QProgressBar>
#include <QPushButton>
#include <QString>
#include <QVariant>
#include <vector>

// Outside the namespace, as Qt requires: makes the compiled-in icon reachable
// although this library is linked statically.
static void InitUiQtResources() { Q_INIT_RESOURCE(tessarin_ui_qt); }

namespace tessarin {
namespace {

QString ToQString(std::u16string_view text) {
  return QString(reinterpret_cast<const QChar*>(text.data()), static_cast<qsizetype>(text.size()));
}

bool Has(const ControlTemplate& control, std::uint32_t style) {
  return (control.styles & style) != 0;
}

}  // namespace

void FitLabelText(QLabel* label) {
  // The template's widths suit the platform's dialog font; a wider font here
  // could cut a text off. Such a label first grows into free space on its
  // right, and only where a neighbour is in the way gets a smaller size.
  QWidget* dialog = label->parentWidget();
  if (dialog == nullptr) return;
  const QVariant stored = label->property("templateWidth");
  const int templateWidth = stored.isValid() ? stored.toInt() : label->width();
  label->setProperty("templateWidth", templateWidth);

  const QFont base = dialog->font();
  const int needed = QFontMetrics(base).horizontalAdvance(label->text());
  QRect rect = label->geometry();
  rect.setWidth(templateWidth);
  if (needed > templateWidth && !(label->alignment() & Qt::AlignHCenter)) {
    QRect wider = rect;
    wider.setWidth(needed);
    bool free = wider.right() < dialog->width();
    for (QWidget* sibling : dialog->findChildren<QWidget*>(Qt::FindDirectChildrenOnly)) {
      if (sibling == label || sibling->isHidden() || qobject_cast<QGroupBox*>(sibling)) continue;
      if (sibling->geometry().intersects(wider)) free = false;
    }
    if (free) rect = wider;
  }
  label->setGeometry(rect);

  QFont font = base;
  const qreal smallest = base.pointSizeF() * 0.75;
  while (font.pointSizeF() - 0.5 >= smallest &&
         QFontMetrics(font).horizontalAdvance(label->text()) > rect.width()) {
    font.setPointSizeF(font.pointSizeF() - 0.5);
  }
  label->setFont(font);
}

QIcon ResourceIcon(int iconId) {
  static const bool initialised = (InitUiQtResources(), true);
  (void)initialised;
  if (iconId != IDR_MAINFRAME) return QIcon();
  return QIcon(QStringLiteral(":/tessarin/tessarin-256.png"));
}

TemplateDialog::TemplateDialog(const DialogTemplate& dialog, QWidget* parent)
    : QDialog(parent), m_template(dialog) {
  // "MS Shell Dlg" is the Windows name of the system's dialog font; the
  // system's own user-interface font is its counterpart here.
  setFont(QApplication::font());
  m_units = ComputeBaseUnits(font());

  Qt::WindowFlags flags = Qt::Dialog | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                          Qt::WindowSystemMenuHint | Qt::WindowCloseButtonHint;
  if (dialog.minimizeBox) flags |= Qt::WindowMinimizeButtonHint;
  setWindowFlags(flags);
  setWindowTitle(ToQString(dialog.caption));
  setFixedSize(DialogUnitsToPixelsX(dialog.width, m_units),
               DialogUnitsToPixelsY(dialog.height, m_units));
  setSizeGripEnabled(false);

  std::vector<QWidget*> created;
  for (const ControlTemplate& control : dialog.controls) {
    QWidget* widget = CreateControl(control);
    created.push_back(widget);
    if (control.id != IDC_STATIC) m_controls.emplace(control.id, widget);
  }
  for (QWidget* widget : created) {
    if (auto* label = qobject_cast<QLabel*>(widget); label && label->pixmap().isNull()) {
      FitLabelText(label);
    }
  }
  // Group boxes come late in the template order but sit behind the fields
  // they frame.
  for (std::size_t i = 0; i < created.size(); ++i) {
    if (dialog.controls[i].kind != ControlKind::kGroupBox) continue;
    created[i]->lower();
    // A static text placed on the frame's title line is covered by the
    // title, as the system's own dialogs draw it: the title shows, the text
    // is hidden and kept as the accessible name of the frame.
    auto* group = qobject_cast<QGroupBox*>(created[i]);
    const QRect titleBand = MapDialogRect(dialog.controls[i].x, dialog.controls[i].y,
                                          dialog.controls[i].width, 8, m_units);
    for (std::size_t j = 0; j < created.size(); ++j) {
      auto* label = qobject_cast<QLabel*>(created[j]);
      if (dialog.controls[j].kind == ControlKind::kStaticText && label && !label->isHidden() &&
          label->geometry().intersects(titleBand)) {
        group->setAccessibleDescription(label->text());
        label->hide();
      }
    }
  }
}

QWidget* TemplateDialog::Control(int id) const {
  const auto it = m_controls.find(id);
  return it == m_controls.end() ? nullptr : it->second;
}

QWidget* TemplateDialog::CreateControl(const ControlTemplate& control) {
  const QRect rect = MapDialogRect(control.x, control.y, control.width, control.height, m_units);
  const QString caption = ToQString(control.caption);
  QWidget* widget = nullptr;

  switch (control.kind) {
    case ControlKind::kPushButton:
    case ControlKind::kDefPushButton: {
      auto* button = new QPushButton(caption, this);
      button->setDefault(control.kind == ControlKind::kDefPushButton);
      widget = button;
      break;
    }
    case ControlKind::kEdit: {
      auto* edit = new QLineEdit(caption, this);
      edit->setReadOnly(Has(control, STYLE_READONLY));
      edit->setFrame(Has(control, STYLE_BORDER));
      widget = edit;
      break;
    }
    case ControlKind::kStaticText: {
      auto* label = new QLabel(this);
      label->setTextFormat(Qt::PlainText);
      label->setText(caption);
      label->setAlignment((Has(control, STYLE_CENTER) ? Qt::AlignHCenter : Qt::AlignLeft) |
                          Qt::AlignTop);
      widget = label;
      break;
    }
    case ControlKind::kComboDropDownList: {
      auto* combo = new QComboBox(this);
      combo->setEditable(false);
      combo->setInsertPolicy(QComboBox::NoInsert);
      widget = combo;
      break;
    }
    case ControlKind::kProgressBar: {
      auto* bar = new QProgressBar(this);
      bar->setTextVisible(false);
      bar->setRange(0, 100);  // the platform control's default range
      bar->setValue(0);
      widget = bar;
      break;
    }
    case ControlKind::kGroupBox: {
      auto* group = new QGroupBox(caption, this);
      // A frame only: it must not hide the controls inside it from the mouse.
      group->setAttribute(Qt::WA_TransparentForMouseEvents);
      group->setFocusPolicy(Qt::NoFocus);
      widget = group;
      break;
    }
    case ControlKind::kIcon: {
      auto* label = new QLabel(this);
      label->setPixmap(ResourceIcon(control.iconId).pixmap(rect.size()));
      label->setAlignment(Qt::AlignLeft | Qt::AlignTop);
      widget = label;
      break;
    }
  }

  QRect geometry = rect;
  if (control.kind == ControlKind::kComboDropDownList) {
    // The template's height includes the open list; the closed box is as
    // tall as an edit line.
    geometry.setHeight(std::min(
        rect.height(), std::max(DialogUnitsToPixelsY(14, m_units), widget->sizeHint().height())));
  }
  widget->setGeometry(geometry);
  if (Has(control, STYLE_TABSTOP)) {
    widget->setFocusPolicy(Qt::StrongFocus);
  } else if (control.kind == ControlKind::kPushButton ||
             control.kind == ControlKind::kDefPushButton) {
    widget->setFocusPolicy(Qt::ClickFocus);
  }
  if (Has(control, STYLE_DISABLED)) widget->setEnabled(false);
  if (Has(control, STYLE_HIDDEN)) widget->hide();
  return widget;
}

}  // namespace tessarin
