// The About box (template 100).
#pragma once

#include "ui/dialog_framework.h"

namespace tessarin {

/// No members, no exchange; its OK ends it.
class CAboutDlg {
 public:
  /// Runs the box modally through the host; returns IDOK.
  int DoModal(DialogFramework& framework);
};

}  // namespace tessarin
