#include "ui/ui_common.h"

#include <commctrl.h>

#include <map>
#include <vector>

#include "common/format.h"
#include "ui/ui_dialogs.h"

namespace ostrel::ui {

namespace {

HFONT makeFont(const Dpi& dpi, int weight) {
  LOGFONTA lf{};
  lf.lfHeight = -MulDiv(8, dpi.value(), 72);
  lf.lfWeight = weight;
  lf.lfCharSet = DEFAULT_CHARSET;
  lstrcpynA(lf.lfFaceName, "MS Sans Serif", LF_FACESIZE);
  return CreateFontIndirectA(&lf);
}

HFONT cachedFont(const Dpi& dpi, int weight) {
  static std::map<std::pair<int, int>, HFONT> fonts;
  auto key = std::make_pair(dpi.value(), weight);
  auto it = fonts.find(key);
  if (it != fonts.end()) return it->second;
  HFONT font = makeFont(dpi, weight);
  fonts.emplace(key, font);
  return font;
}

}  // namespace

Dpi screenDpi() {
  HDC dc = GetDC(nullptr);
  int value = dc != nullptr ? GetDeviceCaps(dc, LOGPIXELSX) : 96;
  if (dc != nullptr) ReleaseDC(nullptr, dc);
  return Dpi(value);
}

HFONT uiFont(const Dpi& dpi) { return cachedFont(dpi, FW_NORMAL); }
HFONT uiBoldFont(const Dpi& dpi) { return cachedFont(dpi, FW_BOLD); }

HWND createControl(HWND parent, const char* windowClass, const std::string& text, DWORD style,
                   int x, int y, int width, int height, int id, const Dpi& dpi, DWORD exStyle) {
  HWND control = CreateWindowExA(exStyle, windowClass, text.c_str(), style | WS_CHILD, dpi(x),
                                 dpi(y), dpi(width), dpi(height), parent,
                                 reinterpret_cast<HMENU>(static_cast<INT_PTR>(id)),
                                 GetModuleHandleA(nullptr), nullptr);
  if (control != nullptr)
    SendMessageA(control, WM_SETFONT, reinterpret_cast<WPARAM>(uiFont(dpi)), FALSE);
  return control;
}

void addColumn(HWND listView, int index, const std::string& caption, int width, const Dpi& dpi) {
  LVCOLUMNA column{};
  column.mask = LVCF_TEXT | LVCF_WIDTH | LVCF_SUBITEM;
  column.pszText = const_cast<char*>(caption.c_str());
  column.cx = dpi(width);
  column.iSubItem = index;
  SendMessageA(listView, LVM_INSERTCOLUMNA, index, reinterpret_cast<LPARAM>(&column));
}

std::string windowText(HWND window) {
  const int length = GetWindowTextLengthA(window);
  std::vector<char> buffer(static_cast<size_t>(length) + 1, '\0');
  GetWindowTextA(window, buffer.data(), length + 1);
  return std::string(buffer.data());
}

void setWindowText(HWND window, const std::string& text) { SetWindowTextA(window, text.c_str()); }

void updateWindowText(HWND window, const std::string& text) {
  if (windowText(window) != text) setWindowText(window, text);
}

void centreWindow(HWND window, HWND over) {
  RECT area{};
  if (over != nullptr && IsWindowVisible(over))
    GetWindowRect(over, &area);
  else
    SystemParametersInfoA(SPI_GETWORKAREA, 0, &area, 0);
  RECT own{};
  GetWindowRect(window, &own);
  const int width = own.right - own.left, height = own.bottom - own.top;
  const int x = area.left + (area.right - area.left - width) / 2;
  const int y = area.top + (area.bottom - area.top - height) / 2;
  SetWindowPos(window, nullptr, x, y, 0, 0, SWP_NOSIZE | SWP_NOZORDER | SWP_NOACTIVATE);
}

std::string listViewText(HWND listView, int item, int subItem) {
  char buffer[1024] = {};
  LVITEMA lvi{};
  lvi.iSubItem = subItem;
  lvi.pszText = buffer;
  lvi.cchTextMax = sizeof buffer;
  SendMessageA(listView, LVM_GETITEMTEXTA, item, reinterpret_cast<LPARAM>(&lvi));
  return buffer;
}

void copyText(char* buffer, int size, const std::string& text) {
  if (buffer == nullptr || size <= 0) return;
  lstrcpynA(buffer, text.c_str(), size);
}

void showEscapedException(HWND window) noexcept {
  static thread_local bool showing = false;
  if (showing) return;
  showing = true;
  try {
    const std::string text = currentExceptionText();
    HWND owner = window != nullptr && IsWindow(window) ? GetAncestor(window, GA_ROOT) : nullptr;
    uiDialogs().messageBox(owner, text, BoxKind::Error);
  } catch (...) {
    // Nothing more can be said; the program runs on.
  }
  showing = false;
}

}  // namespace ostrel::ui
