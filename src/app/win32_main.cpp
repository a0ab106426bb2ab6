// The window program on Windows: the main dialog on the system's own dialog
// manager, on the attached devices or, with --simulate SPEC, on simulated
// ones. A program of the GUI subsystem: it has no console, so what it has to
// say before its dialog appears is said in a message box.
#include <cwchar>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "app/app_options.h"
#include "app/tessarin_app.h"
#include "image/utf16.h"
#include "platform/hid_platform.h"
#include "sim/backend_choice.h"
#include "ui/win32/win32_dialog_host.h"

namespace {

constexpr char16_t kTitle[] = u"Tessarin";

int Fail(const std::string& message, int code) {
  tessarin::ShowProgramMessage(tessarin::Utf8ToUtf16(message), kTitle, /*error=*/true);
  return code;
}

}  // namespace

// wmain: the arguments as the system gives them, in UTF-16.
int wmain(int argc, wchar_t** argv) {
  std::vector<std::string> args;
  for (int i = 1; i < argc; ++i) {
    const std::u16string_view arg(reinterpret_cast<const char16_t*>(argv[i]), std::wcslen(argv[i]));
    args.push_back(tessarin::Utf16ToUtf8(arg).value_or(std::string()));
  }

  // Anything the program does not know is passed over: a .rom file dropped
  // on the program, or a shortcut's stray argument, must not end it unseen.
  std::string error;
  const std::optional<tessarin::AppOptions> options =
      tessarin::ParseAppOptions(args, &error, tessarin::UnknownArguments::kIgnore);
  if (!options) return Fail(error, 2);
  if (options->m_help) {
    tessarin::ShowProgramMessage(tessarin::Utf8ToUtf16(tessarin::AppUsage("tessarin")), kTitle,
                                 /*error=*/false);
    return 0;
  }
  if (options->m_version) {
    tessarin::ShowProgramMessage(tessarin::Utf8ToUtf16("tessarin " TESSARIN_VERSION), kTitle,
                                 /*error=*/false);
    return 0;
  }

  tessarin::InitDialogControls();
  tessarin::ChosenBackend chosen = tessarin::ChooseHidBackend(options->m_simulate);
  if (const auto failure = tessarin::BackendStartFailure(chosen)) {
    return Fail(failure->m_message, failure->m_exitCode);
  }

  // The window itself receives the system's device-change broadcast for real
  // devices; simulated ones are heard through the backend's own listener.
  const tessarin::DeviceChangeSource deviceChanges = chosen.m_sim != nullptr
                                                         ? tessarin::DeviceChangeSource::kBackend
                                                         : tessarin::DeviceChangeSource::kSystem;
  tessarin::CTessarinApp theApp(*chosen.m_backend, tessarin::Win32DialogHostFactory(deviceChanges));
  theApp.StartInstance();
  return 0;
}
