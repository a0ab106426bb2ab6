#include "ui/combo_box.h"

namespace tessarin {

void CComboBox::ResetContent(DialogFramework* framework) {
  m_lines.clear();
  m_curSel = -1;
  if (framework != nullptr) framework->ComboResetContent(m_id);
}

int CComboBox::AddString(DialogFramework* framework, const std::u16string& text) {
  m_lines.push_back(text);
  if (framework != nullptr) framework->ComboAddString(m_id, text);
  return static_cast<int>(m_lines.size()) - 1;
}

void CComboBox::SetCurSel(DialogFramework* framework, int index) {
  m_curSel = (index >= 0 && index < static_cast<int>(m_lines.size())) ? index : -1;
  if (framework != nullptr) framework->ComboSetCurSel(m_id, m_curSel);
}

}  // namespace tessarin
