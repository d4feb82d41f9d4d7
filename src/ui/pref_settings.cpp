#include "ui/pref_settings.h"

#include <commctrl.h>

#include <algorithm>

namespace ostrel::ui {

namespace {

constexpr char kDispCallStackHint[] =
    "If check in this checkbox then can show the call \r\nstack when an breakpoint exception is "
    "occurred.";

int32_t clampDepth(int64_t value) {
  return static_cast<int32_t>(
      std::clamp<int64_t>(value, TpreferenceForm::kMinStackDepth, TpreferenceForm::kMaxStackDepth));
}

bool isBlank(char c) { return c == ' ' || c == '\t'; }

}  // namespace

int32_t TpreferenceForm::spinValue(const std::string& text) {
  size_t first = 0, last = text.size();
  while (first < last && isBlank(text[first])) ++first;
  while (last > first && isBlank(text[last - 1])) --last;
  bool negative = false;
  if (first < last && (text[first] == '-' || text[first] == '+')) negative = text[first++] == '-';
  if (first == last) return kMinStackDepth;
  // Digits only; a long number saturates instead of wrapping, so it still lands on a bound.
  int64_t value = 0;
  for (size_t i = first; i < last; ++i) {
    if (text[i] < '0' || text[i] > '9') return kMinStackDepth;
    value = std::min<int64_t>(value * 10 + (text[i] - '0'), int64_t{1} << 40);
  }
  return clampDepth(negative ? -value : value);
}

ModalDialog::Frame TpreferenceForm::frame() const {
  Frame f;
  f.caption = "Preference settings";
  f.style = WS_CAPTION;  // no title-bar buttons: "Ok" is the only way out
  f.width = f.minWidth = f.maxWidth = 311;
  f.height = f.minHeight = f.maxHeight = 313;
  return f;
}

void TpreferenceForm::onCreate() {
  INITCOMMONCONTROLSEX classes{sizeof classes, ICC_UPDOWN_CLASS | ICC_BAR_CLASSES};
  InitCommonControlsEx(&classes);
  RECT client{};
  GetClientRect(handle(), &client);
  const int width = dpi().unscale(client.right), height = dpi().unscale(client.bottom);
  const DWORD checkStyle = WS_VISIBLE | WS_TABSTOP | BS_AUTOCHECKBOX;

  createControl(handle(), "BUTTON", "Display callstack", WS_VISIBLE | BS_GROUPBOX, 8, 4, width - 16,
                66, -1, dpi());
  dispCallStackOnBreakCheckBox =
      createControl(handle(), "BUTTON", "show call stack when break debug event occurred",
                    checkStyle, 18, 24, width - 36, 17, kDispCallStackOnBreakCheckBox, dpi());
  scanEntriesCheckBox =
      createControl(handle(), "BUTTON", "Show entries found only by scanning", checkStyle, 18, 44,
                    width - 36, 17, kScanEntriesCheckBox, dpi());

  createControl(handle(), "BUTTON", "Stack depth", WS_VISIBLE | BS_GROUPBOX, 8, 76, width - 16, 52,
                -1, dpi());
  createControl(handle(), "STATIC", "Call stack depth in entries:", WS_VISIBLE, 18, 100, 140, 13,
                -1, dpi());
  stackDepthSpinEdit = createControl(handle(), "EDIT", "", WS_VISIBLE | WS_TABSTOP | ES_AUTOHSCROLL,
                                     160, 96, 60, 21, kStackDepthSpinEdit, dpi(), WS_EX_CLIENTEDGE);
  // The up-down sits inside the edit's right end and writes its value into the edit.
  HWND upDown =
      createControl(handle(), UPDOWN_CLASSA, "",
                    WS_VISIBLE | UDS_SETBUDDYINT | UDS_ALIGNRIGHT | UDS_ARROWKEYS | UDS_NOTHOUSANDS,
                    0, 0, 0, 0, kStackDepthUpDown, dpi());
  SendMessageA(upDown, UDM_SETBUDDY, reinterpret_cast<WPARAM>(stackDepthSpinEdit), 0);
  SendMessageA(upDown, UDM_SETRANGE32, kMinStackDepth, kMaxStackDepth);

  createControl(handle(), "BUTTON", "Load map", WS_VISIBLE | BS_GROUPBOX, 8, 134, width - 16, 48,
                -1, dpi());
  mapCheckBox = createControl(handle(), "BUTTON", "Try to load map file of debugged application",
                              checkStyle, 18, 154, width - 36, 17, kMapCheckBox, dpi());

  createControl(handle(), "BUTTON", "Minidump", WS_VISIBLE | BS_GROUPBOX, 8, 188, width - 16, 48,
                -1, dpi());
  createControl(handle(), "STATIC", "Minidump at a crash:", WS_VISIBLE, 18, 212, 140, 13, -1,
                dpi());
  // The drop-down's height includes its opened list.
  minidumpComboBox = createControl(handle(), "COMBOBOX", "",
                                   WS_VISIBLE | WS_TABSTOP | WS_VSCROLL | CBS_DROPDOWNLIST, 160,
                                   208, width - 36 - 142, 100, kMinidumpComboBox, dpi());
  for (const char* kind : {"None", "Normal", "Full memory"})
    SendMessageA(minidumpComboBox, CB_ADDSTRING, 0, reinterpret_cast<LPARAM>(kind));

  createControl(handle(), "BUTTON", "Ok", WS_VISIBLE | WS_TABSTOP | BS_DEFPUSHBUTTON,
                width - 8 - 75, height - 8 - 25, 75, 25, IDOK, dpi());

  HWND tooltip = CreateWindowExA(WS_EX_TOPMOST, TOOLTIPS_CLASSA, nullptr, WS_POPUP | TTS_ALWAYSTIP,
                                 CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT, CW_USEDEFAULT,
                                 handle(), nullptr, GetModuleHandleA(nullptr), nullptr);
  if (tooltip != nullptr) {
    TOOLINFOA tool{};
    tool.cbSize = TTTOOLINFOA_V2_SIZE;  // understood by every common controls version
    tool.uFlags = TTF_IDISHWND | TTF_SUBCLASS;
    tool.hwnd = handle();
    tool.uId = reinterpret_cast<UINT_PTR>(dispCallStackOnBreakCheckBox);
    tool.lpszText = const_cast<char*>(kDispCallStackHint);
    SendMessageA(tooltip, TTM_ADDTOOLA, 0, reinterpret_cast<LPARAM>(&tool));
    // A width limit makes the tooltip honour the line break of its text.
    SendMessageA(tooltip, TTM_SETMAXTIPWIDTH, 0, dpi()(400));
  }

  SendMessageA(dispCallStackOnBreakCheckBox, BM_SETCHECK,
               Settings.DispCallStackOnBreak ? BST_CHECKED : BST_UNCHECKED, 0);
  setWindowText(stackDepthSpinEdit, std::to_string(clampDepth(Settings.StackDepth)));
  SendMessageA(upDown, UDM_SETPOS32, 0, clampDepth(Settings.StackDepth));
  SendMessageA(mapCheckBox, BM_SETCHECK, Settings.LoadMap ? BST_CHECKED : BST_UNCHECKED, 0);
  SendMessageA(scanEntriesCheckBox, BM_SETCHECK,
               Settings.ShowScanEntries ? BST_CHECKED : BST_UNCHECKED, 0);
  SendMessageA(minidumpComboBox, CB_SETCURSEL, static_cast<WPARAM>(Settings.Minidump), 0);
}

bool TpreferenceForm::onCommand(int id, int code, HWND) {
  if (id == kStackDepthSpinEdit && code == EN_KILLFOCUS) {
    stackDepthSpinEditExit();
    return true;
  }
  if (code != BN_CLICKED) return false;
  if (id == IDOK) {
    okButtonClick();
    return true;
  }
  // Escape and any close request do nothing: "Ok" is the only way out.
  return id == IDCANCEL;
}

void TpreferenceForm::stackDepthSpinEditExit() {
  const std::string shown = std::to_string(spinValue(windowText(stackDepthSpinEdit)));
  updateWindowText(stackDepthSpinEdit, shown);
}

void TpreferenceForm::okButtonClick() {
  // Enter leaves the focus in the field, so the value is limited here as well.
  Settings.DispCallStackOnBreak =
      SendMessageA(dispCallStackOnBreakCheckBox, BM_GETCHECK, 0, 0) == BST_CHECKED;
  Settings.StackDepth = spinValue(windowText(stackDepthSpinEdit));
  Settings.LoadMap = SendMessageA(mapCheckBox, BM_GETCHECK, 0, 0) == BST_CHECKED;
  Settings.ShowScanEntries = SendMessageA(scanEntriesCheckBox, BM_GETCHECK, 0, 0) == BST_CHECKED;
  const LRESULT kind = SendMessageA(minidumpComboBox, CB_GETCURSEL, 0, 0);
  if (kind >= 0 && kind <= static_cast<LRESULT>(MinidumpKind::FullMemory))
    Settings.Minidump = static_cast<MinidumpKind>(kind);
  end(IDOK);
}

void editPreferences(HWND owner, TPrefSettings& settings) {
  TpreferenceForm form;
  form.Settings = settings;
  form.showModal(owner);
  settings = form.Settings;
}

}  // namespace ostrel::ui
