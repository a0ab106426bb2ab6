// The target list's drop-down control, as the dialog sees it.
#pragma once

#include <string>
#include <vector>

#include "ui/dialog_framework.h"

namespace tessarin {

/// A drop-down list bound by id: the lines this dialog put into it, so the
/// dialog knows its content without reading the control back. The framework
/// may be null (nothing is shown then).
class CComboBox {
 public:
  explicit CComboBox(int id) : m_id(id) {}
  int Id() const { return m_id; }
  void ResetContent(DialogFramework* framework);
  int AddString(DialogFramework* framework, const std::u16string& text);
  void SetCurSel(DialogFramework* framework, int index);
  const std::vector<std::u16string>& Lines() const { return m_lines; }

 private:
  int m_id;
  std::vector<std::u16string> m_lines;
};

}  // namespace tessarin
