#include "ui/combo_box.h"

namespace tessarin {

void CComboBox::ResetContent(DialogFramework* framework) {
  m_lines.clear();
  if (framework != nullptr) framework->ComboResetContent(m_id);
}

int CComboBox::AddString(DialogFramework* framework, const std::u16string& text) {
  m_lines.push_back(text);
  if (framework != nullptr) framework->ComboAddString(m_id, text);
  return static_cast<int>(m_lines.size()) - 1;
}

void CComboBox::SetCurSel(DialogFramework* framework, int index) {
  // An index beyond the lines selects nothing, as the system's control does.
  const bool listed = index >= 0 && index < static_cast<int>(m_lines.size());
  if (framework != nullptr) framework->ComboSetCurSel(m_id, listed ? index : -1);
}

}  // namespace tessarin
