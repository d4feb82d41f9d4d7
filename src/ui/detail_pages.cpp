#include "ui/detail_pages.h"

#include <commctrl.h>
#include <uxtheme.h>

#include <algorithm>

#include "common/format.h"
#include "engine/event_records.h"

namespace ostrel::ui {

namespace {

constexpr char kPageClass[] = "OstrelDetailPage";

// Layout at 96 dpi, in page client coordinates.
constexpr int kFrameInset = 2;  // page edge to the etched frame
constexpr int kMargin = 8;      // page edge to the captions and the text box
constexpr int kRowPitch = 16;   // one caption line
constexpr int kLabelHeight = 13;
constexpr int kValueGap = 6;  // longest caption to its value
constexpr int kColumnGap = 12;
constexpr int kMaxRowsPerColumn = 6;  // more captions go into two columns

enum class BoxSource { None, Info, Element };

struct Field {
  const char* caption;
  size_t element;
  bool chance = false;  // the first-chance value, shown as its short name
};

struct PageLayout {
  const char* name;
  std::vector<Field> fields;
  BoxSource box = BoxSource::None;
  size_t boxElement = 0;
  bool verticalScroll = true;
};

// One page per event code, in code order; elements index the details array.
const std::array<PageLayout, 9>& pageLayouts() {
  static const std::array<PageLayout, 9> layouts = {{
      {"Exception",
       {{"Chance:", 2, true}, {"Code:", 3}, {"Address", 6}, {"Flags:", 4}, {"Parameters:", 5}},
       BoxSource::Info},
      {"Create thread", {{"Handle:", 2}, {"Local base:", 3}, {"Start address:", 4}}},
      {"Create process",
       {{"File handle:", 2},
        {"Process handle:", 3},
        {"Thread handle:", 4},
        {"Base of image:", 5},
        {"Debug info file offset:", 6},
        {"Debug info size:", 7},
        {"Thread local base:", 8},
        {"Start address:", 9},
        {"Image name:", 10},
        {"Unicode:", 11}},
       BoxSource::Element,
       12},
      {"Exit thread", {{"Exit code:", 2}, {"Thread Id:", 3}}},
      {"Exit process", {{"Exit code:", 2}}, BoxSource::Element, 3},
      {"Load Dll",
       {{"File handle:", 7},
        {"Base of Dll:", 4},
        {"Debug info file offset:", 8},
        {"Debug info size:", 9},
        {"Image name:", 10},
        {"Unicode:", 11}},
       BoxSource::Element,
       2},
      {"Unload Dll", {{"Base of Dll:", 2}}, BoxSource::Element, 3},
      {"Debug string",
       {{"Data:", 4}, {"Length:", 3}, {"Unicode:", 5}},
       BoxSource::Element,
       2,
       false},
      {"RIP. Info", {{"Error:", 2}, {"Type:", 3}}},
  }};
  return layouts;
}

// Integers as "$%p" (negative ones are handles and addresses with the top bit set),
// texts as they are.
std::string elementText(const VariantArray& details, size_t index) {
  if (index >= details.size()) return "";
  if (const auto* number = std::get_if<int32_t>(&details[index]))
    return hexP(static_cast<uint32_t>(*number));
  if (const auto* text = std::get_if<std::string>(&details[index])) return *text;
  return "";
}

// A multi-line edit breaks lines only at CR LF; debug strings usually end with a bare LF.
std::string withEditLineBreaks(const std::string& text) {
  std::string result;
  result.reserve(text.size() + 8);
  for (size_t i = 0; i < text.size(); ++i) {
    const char c = text[i];
    if (c == '\r' || c == '\n') {
      result += "\r\n";
      if (c == '\r' && i + 1 < text.size() && text[i + 1] == '\n') ++i;
    } else {
      result += c;
    }
  }
  return result;
}

int textWidth(HDC dc, const char* text) {
  SIZE size{};
  GetTextExtentPoint32A(dc, text, lstrlenA(text), &size);
  return size.cx;
}

void registerPageClass(WNDPROC procedure) {
  HINSTANCE instance = GetModuleHandleA(nullptr);
  WNDCLASSEXA wc{};
  if (GetClassInfoExA(instance, kPageClass, &wc)) return;
  wc = WNDCLASSEXA{};
  wc.cbSize = sizeof wc;
  // The frame follows the size, so every resize repaints the whole page.
  wc.style = CS_HREDRAW | CS_VREDRAW;
  wc.hInstance = instance;
  wc.hCursor = LoadCursor(nullptr, IDC_ARROW);
  wc.lpszClassName = kPageClass;
  wc.lpfnWndProc = procedure;
  RegisterClassExA(&wc);
}

}  // namespace

DetailPages::~DetailPages() {
  if (tab_ != nullptr && IsWindow(tab_)) DestroyWindow(tab_);
  dropBackground();
}

void DetailPages::create(HWND parent, int id, const Dpi& dpi) {
  dpi_ = dpi;
  registerPageClass(&DetailPages::pageProc);
  tab_ = createControl(parent, WC_TABCONTROLA, "",
                       WS_VISIBLE | WS_TABSTOP | WS_CLIPCHILDREN | WS_CLIPSIBLINGS, 0, 0, 0, 0, id,
                       dpi_, WS_EX_CONTROLPARENT);
  const auto& layouts = pageLayouts();
  for (int i = 0; i < static_cast<int>(layouts.size()); ++i) {
    TCITEMA item{};
    item.mask = TCIF_TEXT;
    item.pszText = const_cast<char*>(layouts[i].name);
    SendMessageA(tab_, TCM_INSERTITEMA, i, reinterpret_cast<LPARAM>(&item));
    createPage(i);
  }
  front_ = 0;
  SendMessageA(tab_, TCM_SETCURSEL, 0, 0);
  ShowWindow(pages_[0].window, SW_SHOW);
}

void DetailPages::createPage(int index) {
  const PageLayout& layout = pageLayouts()[index];
  Page& page = pages_[index];
  page.window = CreateWindowExA(WS_EX_CONTROLPARENT, kPageClass, layout.name,
                                WS_CHILD | WS_CLIPCHILDREN | WS_CLIPSIBLINGS, 0, 0, 0, 0, tab_,
                                reinterpret_cast<HMENU>(static_cast<INT_PTR>(index + 1)),
                                GetModuleHandleA(nullptr), this);
  // Caption before value, in table order: screen readers pair each value with its caption.
  for (const Field& field : layout.fields) {
    Label label;
    label.caption =
        createControl(page.window, "STATIC", field.caption,
                      WS_VISIBLE | SS_LEFTNOWORDWRAP | SS_NOPREFIX, 0, 0, 0, 0, -1, dpi_);
    label.value = createControl(page.window, "STATIC", "?",
                                WS_VISIBLE | SS_LEFTNOWORDWRAP | SS_NOPREFIX, 0, 0, 0, 0, -1, dpi_);
    page.labels.push_back(label);
  }
  if (layout.box != BoxSource::None) {
    DWORD style = WS_VISIBLE | WS_TABSTOP | WS_HSCROLL | ES_MULTILINE | ES_READONLY |
                  ES_AUTOHSCROLL | ES_NOHIDESEL;
    if (layout.verticalScroll) style |= WS_VSCROLL | ES_AUTOVSCROLL;
    page.box =
        createControl(page.window, "EDIT", "", style, 0, 0, 0, 0, 100, dpi_, WS_EX_CLIENTEDGE);
  }
}

void DetailPages::move(int x, int y, int width, int height) {
  if (tab_ == nullptr) return;
  MoveWindow(tab_, x, y, width, height, TRUE);
  RECT area{0, 0, width, height};
  SendMessageA(tab_, TCM_ADJUSTRECT, FALSE, reinterpret_cast<LPARAM>(&area));
  dropBackground();
  for (const Page& page : pages_) {
    MoveWindow(page.window, area.left, area.top, std::max(0L, area.right - area.left),
               std::max(0L, area.bottom - area.top), TRUE);
  }
}

void DetailPages::layoutPage(const Page& page) const {
  RECT client{};
  GetClientRect(page.window, &client);
  const int width = client.right, height = client.bottom;
  const size_t count = page.labels.size();
  const size_t columns = count > kMaxRowsPerColumn ? 2 : 1;
  const size_t rows = (count + columns - 1) / columns;

  // Values line up behind the longest caption of their column.
  HDC dc = GetDC(page.window);
  HGDIOBJ oldFont = SelectObject(dc, uiFont(dpi_));
  std::vector<int> captionWidth(columns, 0);
  for (size_t i = 0; i < count; ++i) {
    char caption[64] = {};
    GetWindowTextA(page.labels[i].caption, caption, sizeof caption);
    captionWidth[i / rows] = std::max(captionWidth[i / rows], textWidth(dc, caption));
  }
  SelectObject(dc, oldFont);
  ReleaseDC(page.window, dc);

  const int margin = dpi_(kMargin), gap = dpi_(kColumnGap);
  const int columnWidth = std::max(
      0, (width - 2 * margin - gap * static_cast<int>(columns - 1)) / static_cast<int>(columns));
  for (size_t i = 0; i < count; ++i) {
    const size_t column = i / rows, row = i % rows;
    const int x = margin + static_cast<int>(column) * (columnWidth + gap);
    const int y = margin + static_cast<int>(row) * dpi_(kRowPitch);
    const int valueX = x + captionWidth[column] + dpi_(kValueGap);
    MoveWindow(page.labels[i].caption, x, y, valueX - x, dpi_(kLabelHeight), TRUE);
    MoveWindow(page.labels[i].value, valueX, y, std::max(0, x + columnWidth - valueX),
               dpi_(kLabelHeight), TRUE);
  }
  if (page.box != nullptr) {
    const int top = margin + static_cast<int>(rows) * dpi_(kRowPitch) + dpi_(2);
    MoveWindow(page.box, margin, top, std::max(0, width - 2 * margin),
               std::max(0, height - margin - top), TRUE);
  }
}

void DetailPages::bringToFront(int index) {
  if (index == front_) return;
  SendMessageA(tab_, TCM_SETCURSEL, index, 0);
  ShowWindow(pages_[index].window, SW_SHOW);
  ShowWindow(pages_[front_].window, SW_HIDE);
  front_ = index;
}

void DetailPages::show(TDbgEvent& event) {
  if (tab_ == nullptr) return;
  const VariantArray details = event.GetDetails();
  const uint32_t code = event.DebugEvent.dwDebugEventCode;
  if (code < 1 || code > pages_.size()) return;
  const int index = static_cast<int>(code) - 1;
  const PageLayout& layout = pageLayouts()[index];
  Page& page = pages_[index];
  for (size_t i = 0; i < layout.fields.size(); ++i) {
    const Field& field = layout.fields[i];
    std::string value = elementText(details, field.element);
    if (field.chance && field.element < details.size())
      if (const auto* chance = std::get_if<int32_t>(&details[field.element]))
        value = ExceptionChanceName(static_cast<uint32_t>(*chance), false);
    updateWindowText(page.labels[i].value, value);
  }
  if (page.box != nullptr) {
    const std::string text =
        layout.box == BoxSource::Info ? event.Info : elementText(details, layout.boxElement);
    updateWindowText(page.box, withEditLineBreaks(text));
  }
  bringToFront(index);
}

bool DetailPages::onNotify(const NMHDR* header) {
  if (header == nullptr || tab_ == nullptr || header->hwndFrom != tab_) return false;
  if (header->code == static_cast<UINT>(TCN_SELCHANGE)) {
    const int index = static_cast<int>(SendMessageA(tab_, TCM_GETCURSEL, 0, 0));
    if (index >= 0 && index < static_cast<int>(pages_.size())) {
      // The tab control has already moved its selection; only the pages follow.
      ShowWindow(pages_[index].window, SW_SHOW);
      if (index != front_) ShowWindow(pages_[front_].window, SW_HIDE);
      front_ = index;
    }
  }
  return true;
}

int DetailPages::currentCode() const { return front_ + 1; }

std::string DetailPages::value(int code, const std::string& caption) const {
  if (code < 1 || code > static_cast<int>(pages_.size())) return "";
  const PageLayout& layout = pageLayouts()[code - 1];
  const Page& page = pages_[code - 1];
  for (size_t i = 0; i < layout.fields.size() && i < page.labels.size(); ++i)
    if (caption == layout.fields[i].caption) return windowText(page.labels[i].value);
  return "";
}

std::string DetailPages::text(int code) const {
  if (code < 1 || code > static_cast<int>(pages_.size())) return "";
  const HWND box = pages_[code - 1].box;
  return box != nullptr ? windowText(box) : "";
}

HBRUSH DetailPages::backgroundBrush() {
  if (background_ != nullptr) return background_;
  // Every page covers the same display area, so one picture of it serves them all.
  const HWND page = pages_[front_].window;
  RECT client{};
  GetClientRect(page, &client);
  if (client.right <= 0 || client.bottom <= 0) return GetSysColorBrush(COLOR_BTNFACE);
  HDC screen = GetDC(page);
  HDC memory = CreateCompatibleDC(screen);
  backgroundBitmap_ = CreateCompatibleBitmap(screen, client.right, client.bottom);
  HGDIOBJ old = SelectObject(memory, backgroundBitmap_);
  FillRect(memory, &client, GetSysColorBrush(COLOR_BTNFACE));
  // The tab control paints its own body: themed, that is not the plain button colour.
  DrawThemeParentBackground(page, memory, &client);
  SelectObject(memory, old);
  DeleteDC(memory);
  ReleaseDC(page, screen);
  background_ = CreatePatternBrush(backgroundBitmap_);
  return background_ != nullptr ? background_ : GetSysColorBrush(COLOR_BTNFACE);
}

void DetailPages::dropBackground() {
  if (background_ != nullptr) DeleteObject(background_);
  if (backgroundBitmap_ != nullptr) DeleteObject(backgroundBitmap_);
  background_ = nullptr;
  backgroundBitmap_ = nullptr;
}

LRESULT CALLBACK DetailPages::pageProc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
  if (message == WM_NCCREATE) {
    const auto* create = reinterpret_cast<const CREATESTRUCTA*>(lParam);
    SetWindowLongPtrA(window, GWLP_USERDATA, reinterpret_cast<LONG_PTR>(create->lpCreateParams));
  }
  auto* self = reinterpret_cast<DetailPages*>(GetWindowLongPtrA(window, GWLP_USERDATA));
  const int index = GetDlgCtrlID(window) - 1;
  if (self == nullptr || index < 0 || index >= static_cast<int>(self->pages_.size()) ||
      self->pages_[index].window != window)
    return DefWindowProcA(window, message, wParam, lParam);
  if (message == WM_NCDESTROY) {
    SetWindowLongPtrA(window, GWLP_USERDATA, 0);
    self->pages_[index] = Page{};
    self->tab_ = nullptr;  // pages go only with their tab control
    return DefWindowProcA(window, message, wParam, lParam);
  }
  return guardedWindowProc(window, message, wParam, lParam, [&] {
    return self->handlePage(self->pages_[index], message, wParam, lParam);
  });
}

LRESULT DetailPages::handlePage(Page& page, UINT message, WPARAM wParam, LPARAM lParam) {
  switch (message) {
    case WM_SIZE:
      layoutPage(page);
      return 0;
    case WM_ERASEBKGND:
      return 1;  // WM_PAINT covers the whole page
    case WM_PAINT: {
      PAINTSTRUCT ps;
      HDC dc = BeginPaint(page.window, &ps);
      RECT client{};
      GetClientRect(page.window, &client);
      FillRect(dc, &client, backgroundBrush());
      const int inset = dpi_(kFrameInset);
      InflateRect(&client, -inset, -inset);
      DrawEdge(dc, &client, EDGE_ETCHED, BF_RECT);
      EndPaint(page.window, &ps);
      return 0;
    }
    case WM_CTLCOLORSTATIC: {
      HDC dc = reinterpret_cast<HDC>(wParam);
      const HWND control = reinterpret_cast<HWND>(lParam);
      if (control == page.box) {
        // A read-only text box keeps the look of a text box.
        SetTextColor(dc, GetSysColor(COLOR_WINDOWTEXT));
        SetBkColor(dc, GetSysColor(COLOR_WINDOW));
        return reinterpret_cast<LRESULT>(GetSysColorBrush(COLOR_WINDOW));
      }
      // Labels erase with the page's picture, aligned to where they sit on it, so a shorter
      // value leaves nothing of the longer one behind.
      POINT origin{0, 0};
      MapWindowPoints(control, page.window, &origin, 1);
      SetBrushOrgEx(dc, -origin.x, -origin.y, nullptr);
      SetBkMode(dc, TRANSPARENT);
      SetTextColor(dc, GetSysColor(COLOR_BTNTEXT));
      return reinterpret_cast<LRESULT>(backgroundBrush());
    }
    case WM_THEMECHANGED:
    case WM_SYSCOLORCHANGE:
      dropBackground();
      InvalidateRect(page.window, nullptr, TRUE);
      break;
    default:
      break;
  }
  return DefWindowProcA(page.window, message, wParam, lParam);
}

}  // namespace ostrel::ui
