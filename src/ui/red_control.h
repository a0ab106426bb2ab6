// A control whose text shows red while its flag is set: the file path edit,
// the file time and the message line of the main dialog.
#pragma once

#include "ui/dialog_framework.h"

namespace tessarin {

/// Bound to its control by id; the flag lives here, the colour in the host.
class CRedControl {
 public:
  explicit CRedControl(int id) : m_id(id) {}
  int Id() const { return m_id; }
  /// Writes the flag and repaints the control (framework may be null).
  void SetRed(DialogFramework* framework, int red);

  int m_red = 0;

 private:
  int m_id;
};

/// The edit control and the static text of the design: one behaviour.
using CRedEdit = CRedControl;
using CRedText = CRedControl;

}  // namespace tessarin
