// The window program: the main dialog on Qt 6 Widgets, on the attached
// devices or, with --simulate SPEC, on simulated ones.
#include <QApplication>
#include <QMessageBox>
#include <QMetaObject>
#include <QPointer>
#include <QString>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "app/app_options.h"
#include "app/stop_request_watch.h"
#include "app/tessarin_app.h"
#include "platform/hid_platform.h"
#include "sim/backend_choice.h"
#include "ui/qt/qt_dialog_host.h"
#include "ui/qt/template_dialog.h"

namespace {

constexpr char kTitle[] = "Tessarin";

/// Start-up failures go to the terminal and to a box, since the program is
/// usually started from a desktop menu where no terminal is seen.
int Fail(const std::string& message, int code) {
  std::fprintf(stderr, "tessarin: %s\n", message.c_str());
  QMessageBox::critical(nullptr, QString::fromLatin1(kTitle), QString::fromStdString(message));
  return code;
}

}  // namespace

int main(int argc, char** argv) {
  // Answered before Qt starts, so they work without a display.
  for (int i = 1; i < argc; ++i) {
    const std::string arg = argv[i];
    if (arg == "--help" || arg == "-h") {
      std::fputs(tessarin::AppUsage("tessarin").c_str(), stdout);
      return 0;
    }
    if (arg == "--version") {
      std::printf("tessarin %s\n", TESSARIN_VERSION);
      return 0;
    }
  }

  QApplication app(argc, argv);
  QApplication::setApplicationName(QString::fromLatin1(kTitle));
  QApplication::setApplicationVersion(QStringLiteral(TESSARIN_VERSION));
  QApplication::setWindowIcon(tessarin::ResourceIcon(tessarin::IDR_MAINFRAME));

  // QApplication has taken its own options (-platform, ...) out of argv.
  std::vector<std::string> args;
  const QStringList arguments = QApplication::arguments();
  for (qsizetype i = 1; i < arguments.size(); ++i) args.push_back(arguments[i].toStdString());

  std::string error;
  const std::optional<tessarin::AppOptions> options = tessarin::ParseAppOptions(args, &error);
  if (!options) {
    std::fprintf(stderr, "tessarin: %s\n", error.c_str());
    return 2;
  }
  tessarin::ChosenBackend chosen = tessarin::ChooseHidBackend(options->m_simulate);
  if (const auto failure = tessarin::BackendStartFailure(chosen)) {
    return Fail(failure->m_message, failure->m_exitCode);
  }
  tessarin::HidBackend& backend = *chosen.m_backend;

  // Ctrl+C, and SIGTERM and SIGHUP at log-out, end the program as a close
  // with nobody left to answer does: a running burn stops at its next block
  // first. The watch hands each request to the Qt thread, where the window
  // of the moment (read there only) is told.
  QPointer<tessarin::QtDialogHost> window;
  const tessarin::StopRequestWatch stops([&app, &window] {
    QMetaObject::invokeMethod(
        &app,
        [&window] {
          if (window) window->RequestEnd();
        },
        Qt::QueuedConnection);
  });

  // A backend that reports device changes through a descriptor has it
  // watched by the window; the listener the dialog installed runs inside
  // ProcessDeviceChanges and posts the change to the dialog.
  tessarin::CTessarinApp theApp(
      backend, tessarin::QtDialogHostFactory([&backend, &window](tessarin::QtDialogHost& host) {
        window = &host;
        host.WatchDescriptor(backend.DeviceChangeFd(),
                             [&backend] { backend.ProcessDeviceChanges(); });
      }));
  theApp.StartInstance();
  return 0;
}
