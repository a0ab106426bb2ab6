#include "ui/about_dlg.h"

namespace tessarin {

int CAboutDlg::DoModal(DialogFramework& framework) {
  framework.RunAboutBox();
  return IDOK;
}

}  // namespace tessarin
