// A window that hosts a dialog, and how the application object gets one.
#pragma once

#include <functional>
#include <memory>

#include "ui/dialog_framework.h"
#include "ui/dialog_templates.h"

namespace tessarin {

/// The framework plus the modal run.
class DialogHost : public DialogFramework {
 public:
  /// Shows the window, calls OnDialogInit once before it appears, routes the
  /// window's events to the handlers until EndDialog, and returns the result
  /// given to EndDialog.
  virtual int RunModal() = 0;
};

/// Builds the host window for `dialog` (template 102), routing its events to
/// `handlers`. Device changes reach the dialog through its device manager,
/// or through the host where it reports them (ReportsDeviceChanges).
using DialogHostFactory = std::function<std::unique_ptr<DialogHost>(const DialogTemplate& dialog,
                                                                    DialogHandlers& handlers)>;

}  // namespace tessarin
