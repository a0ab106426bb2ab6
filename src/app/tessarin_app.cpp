#include "app/tessarin_app.h"

#include <memory>
#include <utility>

#include "ui/dialog_templates.h"
#include "ui/tessarin_dlg.h"

namespace tessarin {

CTessarinApp::CTessarinApp(HidBackend& backend, DialogHostFactory factory,
                           std::optional<std::filesystem::path> startupDir)
    : m_backend(backend), m_factory(std::move(factory)), m_startupDir(std::move(startupDir)) {}

bool CTessarinApp::StartInstance() {
  CTessarinDlg dialog(m_backend, m_startupDir);
  std::unique_ptr<DialogHost> host = m_factory ? m_factory(MainDialogTemplate(), dialog) : nullptr;
  if (!host) return false;
  dialog.AttachFramework(host.get());
  m_dialogResult = host->RunModal();
  // The worker (if any) posts to the host: it must be gone before the host.
  dialog.DetachFramework();
  host.reset();
  return false;
}

}  // namespace tessarin
