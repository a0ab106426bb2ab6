#include "ui/red_control.h"

namespace tessarin {

void CRedControl::SetRed(DialogFramework* framework, int red) {
  m_red = red;
  if (framework != nullptr) framework->SetControlRed(m_id, red != 0);
}

}  // namespace tessarin
