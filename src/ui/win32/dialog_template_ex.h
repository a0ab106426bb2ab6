// A dialog template of dialog_templates.h as the platform's extended
// in-memory template (DLGTEMPLATEEX followed by one DLGITEMTEMPLATEEX per
// control), for DialogBoxIndirectParamW and CreateDialogIndirectParamW.
#pragma once

// The dialogs' headers come before windows.h, whose macros IDOK, IDCANCEL and
// MessageBox would otherwise rename their declarations.
#include "ui/dialog_framework.h"
#include "ui/dialog_templates.h"
// clang-format off
#include <windows.h>
// clang-format on
#undef MessageBox

#include <cstdint>
#include <vector>

namespace tessarin {

/// The window styles of a template: pop-up, caption, system menu, modal
/// frame and shell font, plus visible, minimise box and DS_CENTER as the
/// template says. Never a maximise box or a sizing frame.
DWORD DialogWindowStyle(const DialogTemplate& dialog);

/// The window class of a control (the system's atom for button, edit,
/// static and combo box; "msctls_progress32" for the progress bar) and its
/// styles (WS_CHILD, visible unless hidden, and the kind's own styles).
DWORD ControlWindowStyle(const ControlTemplate& control);

/// The whole template, DWORD-aligned as the dialog manager needs it; the
/// font is the template's at its point size with DS_SHELLFONT.
class DialogTemplateEx {
 public:
  explicit DialogTemplateEx(const DialogTemplate& dialog);
  const DLGTEMPLATE* Get() const { return reinterpret_cast<const DLGTEMPLATE*>(m_words.data()); }

 private:
  std::vector<DWORD> m_words;
};

}  // namespace tessarin
