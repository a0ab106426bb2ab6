// The application object: runs the main dialog modally on a host.
#pragma once

#include <filesystem>
#include <optional>

#include "platform/hid_platform.h"
#include "ui/dialog_host.h"

namespace tessarin {

class CTessarinApp {
 public:
  /// `backend` must outlive the application object. `startupDir` as for
  /// CTessarinDlg.
  CTessarinApp(HidBackend& backend, DialogHostFactory factory,
               std::optional<std::filesystem::path> startupDir = std::nullopt);

  /// Constructs the dialog, runs it modally, destroys it, and returns false
  /// (the program then ends). The modal result is kept in m_dialogResult.
  bool StartInstance();

  int m_dialogResult = 0;

 private:
  HidBackend& m_backend;
  DialogHostFactory m_factory;
  std::optional<std::filesystem::path> m_startupDir;
};

}  // namespace tessarin
