// The Qt host: the window built from template 102, the framework calls, and
// the routing of keys, closing and the About command.
#include <QComboBox>
#include <QDialog>
#include <QGroupBox>
#include <QLabel>
#include <QProgressBar>
#include <QPushButton>
#include <QTest>
#include <vector>

#include "support/ui_qt_fixture.h"
#include "ui/qt/dialog_units.h"

namespace tessarin::testing {
namespace {

TEST(DialogUnits, ConvertWithTheFontsBaseUnitsRoundingToNearest) {
  const DialogBaseUnits units{7, 14};
  struct Case {
    int dlu;
    int x;
    int y;
  } cases[] = {{0, 0, 0}, {1, 2, 2}, {2, 4, 4}, {8, 14, 14}, {126, 221, 221}, {327, 572, 572}};
  for (const Case& c : cases) {
    EXPECT_EQ(DialogUnitsToPixelsX(c.dlu, units), c.x) << c.dlu;
    EXPECT_EQ(DialogUnitsToPixelsY(c.dlu, units), c.y) << c.dlu;
  }
  const QFont font = QApplication::font();
  const DialogBaseUnits measured = ComputeBaseUnits(font);
  EXPECT_GT(measured.x, 0);
  EXPECT_EQ(measured.y, QFontMetrics(font).height());
}

using QtHostTest = QtDialogTest;

// Every control of the template is a widget of its kind at its converted
// position with its caption; the window has the template's fixed size.
TEST_F(QtHostTest, WindowFollowsTheTemplate) {
  Open();
  const DialogTemplate& dialog = MainDialogTemplate();
  const DialogBaseUnits& units = m_host->BaseUnits();
  EXPECT_EQ(m_host->windowTitle(), QString::fromStdU16String(std::u16string(dialog.caption)));
  const QSize size(DialogUnitsToPixelsX(dialog.width, units),
                   DialogUnitsToPixelsY(dialog.height, units));
  EXPECT_EQ(m_host->size(), size);
  EXPECT_EQ(m_host->minimumSize(), size);
  EXPECT_EQ(m_host->maximumSize(), size);
  EXPECT_FALSE(m_host->windowFlags().testFlag(Qt::WindowMaximizeButtonHint));
  EXPECT_TRUE(m_host->windowFlags().testFlag(Qt::WindowMinimizeButtonHint));

  const QList<QWidget*> children = m_host->findChildren<QWidget*>(Qt::FindDirectChildrenOnly);
  for (const ControlTemplate& control : dialog.controls) {
    const QRect rect = MapDialogRect(control.x, control.y, control.width, control.height, units);
    const QString caption = QString::fromStdU16String(std::u16string(control.caption));
    const auto matches = [&](QWidget* widget) {
      const bool combo = control.kind == ControlKind::kComboDropDownList;
      const QRect at = widget->geometry();
      // A static text may grow to the right into free space to fit its text.
      const bool text = control.kind == ControlKind::kStaticText;
      if (at.topLeft() != rect.topLeft()) return false;
      if (text ? at.width() < rect.width() : at.width() != rect.width()) return false;
      if (!combo && at.height() != rect.height()) return false;
      switch (control.kind) {
        case ControlKind::kPushButton:
        case ControlKind::kDefPushButton: {
          auto* button = qobject_cast<QPushButton*>(widget);
          return button && button->text() == caption &&
                 button->isDefault() == (control.kind == ControlKind::kDefPushButton);
        }
        case ControlKind::kStaticText: {
          auto* label = qobject_cast<QLabel*>(widget);
          return label && (control.id != IDC_STATIC || label->text() == caption);
        }
        case ControlKind::kEdit:
          return qobject_cast<QLineEdit*>(widget) != nullptr;
        case ControlKind::kComboDropDownList:
          return combo && qobject_cast<QComboBox*>(widget) && at.height() <= rect.height();
        case ControlKind::kProgressBar:
          return qobject_cast<QProgressBar*>(widget) != nullptr;
        case ControlKind::kGroupBox: {
          auto* group = qobject_cast<QGroupBox*>(widget);
          return group && group->title() == caption;
        }
        case ControlKind::kIcon:
          return qobject_cast<QLabel*>(widget) != nullptr;
      }
      return false;
    };
    const auto found = std::find_if(children.begin(), children.end(), matches);
    ASSERT_NE(found, children.end())
        << "control " << control.id << " at " << control.x << "," << control.y;
    if (control.id != IDC_STATIC) {
      EXPECT_EQ(*found, m_host->Control(control.id));
    }
    // The one static text on a frame's title line ("File:") is covered by
    // the title, as on the system's own dialogs.
    const bool coveredByTitle = control.kind == ControlKind::kStaticText && caption == QStringLiteral("File:");
    EXPECT_EQ((*found)->isHidden(), (control.styles & STYLE_HIDDEN) != 0 || coveredByTitle)
        << control.id;
  }
  EXPECT_FALSE(m_host->Control(IDC_SERIAL_NO)->isVisible());
  EXPECT_EQ(Text(IDC_STATUS), QStringLiteral("Idle"));
  EXPECT_TRUE(qobject_cast<QLineEdit*>(m_host->Control(IDC_FILE_PATH))->isReadOnly());
}

// Red is RGB(255,0,0) text, cleared to black; the background stays the style's.
TEST_F(QtHostTest, RedFlagChangesOnlyTheTextColour) {
  Open();
  for (int id : {IDC_FILE_PATH, IDC_FILE_TIME, IDC_MESSAGE}) {
    QWidget* widget = m_host->Control(id);
    const QPalette::ColorRole text = widget->foregroundRole();
    const QColor background = widget->palette().color(widget->backgroundRole());
    m_host->SetControlRed(id, true);
    for (auto group : {QPalette::Active, QPalette::Inactive}) {
      EXPECT_EQ(widget->palette().color(group, text), QColor(255, 0, 0)) << id;
    }
    EXPECT_EQ(widget->palette().color(widget->backgroundRole()), background) << id;
    m_host->SetControlRed(id, false);
    EXPECT_EQ(widget->palette().color(QPalette::Active, text), QColor(0, 0, 0)) << id;
  }
}

// A file that cannot be opened shows its path in red on screen.
TEST_F(QtHostTest, MissingFileShowsItsPathInRed) {
  m_backend->AddDevice(SimDeviceConfig{});
  Open();
  Select(m_dir.path() / "gone.rom");
  QWidget* path = m_host->Control(IDC_FILE_PATH);
  EXPECT_EQ(path->palette().color(QPalette::Active, QPalette::Text), QColor(255, 0, 0));
  EXPECT_EQ(Text(IDC_FILE_PATH).toStdU16String(), (m_dir.path() / "gone.rom").u16string());
}

// The platform list does not select a line on its own, and an empty range
// gives an empty bar, never Qt's busy animation.
TEST_F(QtHostTest, ComboAndProgressBehaveLikeThePlatformControls) {
  Open();
  auto* combo = qobject_cast<QComboBox*>(m_host->Control(IDC_TARGET));
  m_host->ComboResetContent(IDC_TARGET);
  EXPECT_EQ(m_host->ComboAddString(IDC_TARGET, u"one"), 0);
  EXPECT_EQ(m_host->ComboAddString(IDC_TARGET, u"two"), 1);
  EXPECT_EQ(combo->currentIndex(), -1);
  m_host->ComboSetCurSel(IDC_TARGET, 1);
  EXPECT_EQ(combo->currentText(), QStringLiteral("two"));
  m_host->ComboSetCurSel(IDC_TARGET, 7);
  EXPECT_EQ(combo->currentIndex(), -1);

  auto* bar = qobject_cast<QProgressBar*>(m_host->Control(IDC_PROGRESS));
  m_host->ProgressSetRange(IDC_PROGRESS, 0, 1000);
  m_host->ProgressSetPos(IDC_PROGRESS, 2000);
  EXPECT_EQ(bar->value(), 1000);
  m_host->ProgressSetRange(IDC_PROGRESS, 0, 0);
  EXPECT_GT(bar->maximum(), bar->minimum());
  EXPECT_EQ(bar->value(), 0);
  m_host->ProgressSetPos(IDC_PROGRESS, 1);
  EXPECT_EQ(bar->value(), 0);
}

// Enter presses the default button Select... and never ends the dialog; Esc
// and the close box reach the close handler, which ends it.
TEST_F(QtHostTest, EnterPressesSelectAndOnlyTheCloseHandlerEnds) {
  Open();
  m_host->Control(IDC_TARGET)->setFocus();
  QTest::keyClick(m_host.get(), Qt::Key_Return);
  EXPECT_EQ(m_chooserCalls, 1);
  EXPECT_FALSE(m_host->Ended());

  QTest::keyClick(m_host.get(), Qt::Key_Escape);
  EXPECT_TRUE(m_host->Ended());
  EXPECT_EQ(m_host->Result(), IDCANCEL);
  EXPECT_TRUE(ProcessUntil([this] { return !m_host->isVisible(); }));
}

TEST_F(QtHostTest, CloseBoxEndsTheDialog) {
  Open();
  m_host->close();
  EXPECT_TRUE(m_host->Ended());
  EXPECT_TRUE(ProcessUntil([this] { return !m_host->isVisible(); }));
}

// F1 opens the About box: template 100 with the icon; its OK ends it.
TEST_F(QtHostTest, F1OpensTheAboutBox) {
  Open();
  ASSERT_NE(m_host->AboutAction(), nullptr);
  EXPECT_EQ(m_host->AboutAction()->text(), QStringLiteral("&About Tessarin..."));
  EXPECT_FALSE(m_host->windowIcon().isNull());

  bool seen = false;
  QTimer timer;
  QObject::connect(&timer, &QTimer::timeout, [&] {
    auto* about = qobject_cast<TemplateDialog*>(QApplication::activeModalWidget());
    if (about == nullptr || about == m_host.get() || !about->isVisible()) return;
    seen = true;
    EXPECT_EQ(about->windowTitle(),
              QStringLiteral("About Kestrova Co.,Ltd.USB Audio Device Firmware Burner"));
    QStringList texts;
    bool icon = false;
    for (QLabel* label : about->findChildren<QLabel*>()) {
      texts << label->text();
      if (!label->pixmap().isNull()) icon = true;
    }
    EXPECT_TRUE(icon);
    EXPECT_TRUE(texts.contains(QStringLiteral("Kestrova Co.,Ltd.USB Audio Device Firmware")));
    EXPECT_TRUE(texts.contains(QStringLiteral("Burner v3.8")));
    Screenshot(about, QStringLiteral("about-box.png"));
    qobject_cast<QAbstractButton*>(about->Control(IDOK))->click();
  });
  timer.start(10);
  QTest::keyClick(m_host.get(), Qt::Key_F1);
  EXPECT_TRUE(seen);
  EXPECT_FALSE(m_host->Ended());
}

}  // namespace
}  // namespace tessarin::testing
