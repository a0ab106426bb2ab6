#include "ui/win32/dialog_template_ex.h"

#include <commctrl.h>

#include <cstring>

namespace tessarin {
namespace {

// The ordinals of the predefined control classes in an item template.
constexpr WORD kButtonAtom = 0x0080;
constexpr WORD kEditAtom = 0x0081;
constexpr WORD kStaticAtom = 0x0082;
constexpr WORD kComboBoxAtom = 0x0085;

/// Collects the template bytes; items start on DWORD boundaries.
class TemplateWriter {
 public:
  void Word(WORD value) { Raw(&value, sizeof value); }
  void Dword(DWORD value) { Raw(&value, sizeof value); }
  void Short(short value) { Raw(&value, sizeof value); }
  void Byte(BYTE value) { Raw(&value, sizeof value); }
  void Text(std::u16string_view text) {
    for (char16_t c : text) Word(static_cast<WORD>(c));
    Word(0);
  }
  void Ordinal(WORD value) {
    Word(0xFFFF);
    Word(value);
  }
  void AlignDword() {
    while (m_bytes.size() % sizeof(DWORD) != 0) m_bytes.push_back(0);
  }
  std::vector<DWORD> Words() {
    AlignDword();
    std::vector<DWORD> words(m_bytes.size() / sizeof(DWORD));
    std::memcpy(words.data(), m_bytes.data(), m_bytes.size());
    return words;
  }

 private:
  void Raw(const void* data, std::size_t size) {
    const auto* bytes = static_cast<const std::uint8_t*>(data);
    m_bytes.insert(m_bytes.end(), bytes, bytes + size);
  }
  std::vector<std::uint8_t> m_bytes;
};

DWORD CommonStyles(std::uint32_t styles) {
  DWORD style = WS_CHILD;
  if ((styles & STYLE_HIDDEN) == 0) style |= WS_VISIBLE;
  if (styles & STYLE_DISABLED) style |= WS_DISABLED;
  if (styles & STYLE_TABSTOP) style |= WS_TABSTOP;
  if (styles & STYLE_GROUP) style |= WS_GROUP;
  if (styles & STYLE_BORDER) style |= WS_BORDER;
  return style;
}

}  // namespace

DWORD DialogWindowStyle(const DialogTemplate& dialog) {
  DWORD style = WS_POPUP | WS_CAPTION | WS_SYSMENU | DS_MODALFRAME | DS_SHELLFONT;
  if (dialog.visible) style |= WS_VISIBLE;
  if (dialog.minimizeBox) style |= WS_MINIMIZEBOX;
  if (dialog.centered) style |= DS_CENTER;
  return style;
}

DWORD ControlWindowStyle(const ControlTemplate& control) {
  DWORD style = CommonStyles(control.styles);
  switch (control.kind) {
    case ControlKind::kPushButton:
      return style | BS_PUSHBUTTON;
    case ControlKind::kDefPushButton:
      return style | BS_DEFPUSHBUTTON;
    case ControlKind::kEdit:
      style |= ES_LEFT;
      if (control.styles & STYLE_READONLY) style |= ES_READONLY;
      if (control.styles & STYLE_AUTOHSCROLL) style |= ES_AUTOHSCROLL;
      return style;
    case ControlKind::kStaticText:
      style |= (control.styles & STYLE_CENTER) ? SS_CENTER : SS_LEFT;
      if (control.styles & STYLE_NOPREFIX) style |= SS_NOPREFIX;
      return style;
    case ControlKind::kComboDropDownList:
      style |= CBS_DROPDOWNLIST;
      if (control.styles & STYLE_VSCROLL) style |= WS_VSCROLL;
      if (control.styles & STYLE_SORT) style |= CBS_SORT;
      return style;
    case ControlKind::kProgressBar:
      return style;
    case ControlKind::kGroupBox:
      return style | BS_GROUPBOX;
    case ControlKind::kIcon:
      return style | SS_ICON;
  }
  return style;
}

DialogTemplateEx::DialogTemplateEx(const DialogTemplate& dialog) {
  TemplateWriter out;
  out.Word(1);       // dlgVer
  out.Word(0xFFFF);  // signature of the extended form
  out.Dword(0);      // helpID
  out.Dword(0);      // exStyle
  out.Dword(DialogWindowStyle(dialog));
  out.Word(static_cast<WORD>(dialog.controls.size()));
  out.Short(0);
  out.Short(0);
  out.Short(static_cast<short>(dialog.width));
  out.Short(static_cast<short>(dialog.height));
  out.Word(0);  // no menu
  out.Word(0);  // the standard dialog class
  out.Text(dialog.caption);
  out.Word(static_cast<WORD>(dialog.fontPointSize));
  out.Word(FW_NORMAL);
  out.Byte(FALSE);  // italic
  out.Byte(DEFAULT_CHARSET);
  out.Text(dialog.fontName);

  for (const ControlTemplate& control : dialog.controls) {
    out.AlignDword();
    out.Dword(0);  // helpID
    out.Dword(0);  // exStyle
    out.Dword(ControlWindowStyle(control));
    out.Short(static_cast<short>(control.x));
    out.Short(static_cast<short>(control.y));
    out.Short(static_cast<short>(control.width));
    out.Short(static_cast<short>(control.height));
    out.Dword(static_cast<DWORD>(control.id));  // IDC_STATIC is 0xFFFFFFFF, as the resource compiler writes it
    switch (control.kind) {
      case ControlKind::kPushButton:
      case ControlKind::kDefPushButton:
      case ControlKind::kGroupBox:
        out.Ordinal(kButtonAtom);
        break;
      case ControlKind::kEdit:
        out.Ordinal(kEditAtom);
        break;
      case ControlKind::kStaticText:
      case ControlKind::kIcon:
        out.Ordinal(kStaticAtom);
        break;
      case ControlKind::kComboDropDownList:
        out.Ordinal(kComboBoxAtom);
        break;
      case ControlKind::kProgressBar:
        out.Text(u"msctls_progress32");  // PROGRESS_CLASSW
        break;
    }
    if (control.kind == ControlKind::kIcon) {
      out.Ordinal(static_cast<WORD>(control.iconId));  // the icon resource, loaded by the static
    } else {
      out.Text(control.caption);
    }
    out.Word(0);  // no creation data
  }
  m_words = out.Words();
}

}  // namespace tessarin
