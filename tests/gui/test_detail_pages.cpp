// The detail pages filled from recorded events of every code, and the export file.
#include <gtest/gtest.h>
#include <windows.h>
// The tab control's messages need windows.h first.
#include <commctrl.h>

#include <fstream>
#include <iterator>
#include <stdexcept>

#include "engine/event_records.h"
#include "fake_platform.h"
#include "gui_support.h"
#include "ui/detail_pages.h"
#include "ui/event_save.h"

namespace ostrel::gtest_gui {
namespace {

const char* const kPageNames[] = {"Exception",   "Create thread", "Create process",
                                  "Exit thread", "Exit process",  "Load Dll",
                                  "Unload Dll",  "Debug string",  "RIP. Info"};

// A parent as the main window is one (390 x 224 for the pages): it forwards WM_NOTIFY.
struct Host {
  Host() {
    WNDCLASSEXA wc{};
    wc.cbSize = sizeof wc;
    wc.lpfnWndProc = &Host::proc;
    wc.hInstance = GetModuleHandleA(nullptr);
    wc.lpszClassName = "DetailPagesHost";
    RegisterClassExA(&wc);
    window = CreateWindowExA(0, wc.lpszClassName, "", WS_POPUP | WS_CLIPCHILDREN, 20, 20, 390, 224,
                             nullptr, nullptr, wc.hInstance, this);
    pages.create(window, 42, ui::Dpi(96));
    pages.move(0, 0, 390, 224);
    ShowWindow(window, SW_SHOWNORMAL);
    pumpPending();
  }
  ~Host() { DestroyWindow(window); }
  HWND page(int code) const {
    return findChild(pages.handle(), kPageNames[code - 1], "OstrelDetailPage");
  }
  static LRESULT CALLBACK proc(HWND window, UINT message, WPARAM wParam, LPARAM lParam) {
    if (message == WM_NCCREATE)
      SetWindowLongPtrA(
          window, GWLP_USERDATA,
          reinterpret_cast<LONG_PTR>(reinterpret_cast<CREATESTRUCTA*>(lParam)->lpCreateParams));
    auto* self = reinterpret_cast<Host*>(GetWindowLongPtrA(window, GWLP_USERDATA));
    if (message == WM_NOTIFY && self != nullptr &&
        self->pages.onNotify(reinterpret_cast<NMHDR*>(lParam)))
      return 0;
    return DefWindowProcA(window, message, wParam, lParam);
  }

  HWND window = nullptr;
  ui::DetailPages pages;
};

std::unique_ptr<TDbgEvent> recorded(int32_t number, const DebugEventRecord& record,
                                    std::string details, std::string info,
                                    std::unique_ptr<TDllInfo> dll = nullptr) {
  return std::make_unique<TDbgEvent>(number, record, std::move(dll), std::move(details),
                                     std::move(info), TEventCallStack(32));
}

// One event of each code, in code order, with values that tell the fields apart.
std::vector<std::unique_ptr<TDbgEvent>> oneEventPerCode() {
  std::vector<std::unique_ptr<TDbgEvent>> events;
  const auto fault = fake::makeException(0x10, 0x20, 0xC0000005, 0x401234, false, 1, {0, 0x10});
  events.push_back(recorded(1, fault, "", "Access violation in prog.exe"));
  events.push_back(
      recorded(2, fake::makeCreateThread(0x10, 0x24, 0x88, 0x7FFDD000, 0x80401000), "", ""));
  auto process =
      fake::makeCreateProcess(0x10, 0x20, 0x100, 0x104, 0x400000, 0x401000, 0x7FFDF030, 1, 0xFC);
  process.u.CreateProcessInfo.lpThreadLocalBase = 0x7FFDE000;
  events.push_back(recorded(3, process, "", "C:\\apps\\prog.exe"));
  events.push_back(recorded(4, fake::makeExitThread(0x10, 0xA4, 3), "", "$000000A4"));
  events.push_back(recorded(5, fake::makeExitProcess(0x10, 0x20, 0xC00000FD), "", "C:\\p.exe"));
  events.push_back(recorded(6, fake::makeLoadDll(0x10, 0x20, 0x11C, 0x10000000, 0x7FFDF100, 0), "",
                            "",
                            std::make_unique<TDllInfo>("C:\\apps\\helper.dll", 0x11C, 0x10000000,
                                                       "12,288", "12/08/2026", "1.0.0.1")));
  events.push_back(recorded(7, fake::makeUnloadDll(0x10, 0x20, 0x10000000), "", "",
                            std::make_unique<TDllInfo>("helper.dll", 0, 0x10000000, "", "", "")));
  events.push_back(
      recorded(8, fake::makeDebugString(0x10, 0x20, 0x402000, 12, 1), "hello world\n", ""));
  auto rip = fake::makeEvent(RIP_EVENT_CODE, 0x10, 0x20);
  rip.u.RipInfo = {0x57, 2};
  events.push_back(recorded(9, rip, "", ""));
  return events;
}

// Every page keeps its values while the others are filled, so the checks come at the end.
TEST(DetailPages, EachCodeFillsItsPageAndBringsItToFront) {
  Host host;
  const auto events = oneEventPerCode();
  ASSERT_EQ(host.pages.currentCode(), 1);
  EXPECT_EQ(host.pages.value(3, "Unicode:"), "?");
  for (int code = 1; code <= 9; ++code) {
    host.pages.show(*events[code - 1]);
    EXPECT_EQ(host.pages.currentCode(), code);
    EXPECT_EQ(SendMessageA(host.pages.handle(), TCM_GETCURSEL, 0, 0), code - 1);
    for (int other = 1; other <= 9; ++other)
      EXPECT_EQ(IsWindowVisible(host.page(other)) != FALSE, other == code) << code << other;
  }
  host.pages.show(*recorded(10, fake::makeEvent(0, 0x10, 0x20), "", ""));
  EXPECT_EQ(host.pages.currentCode(), 9);

  const struct {
    int code;
    const char *caption, *value;
  } values[] = {{1, "Chance:", "Last"},           {1, "Address", "$00401234"},
                {1, "Flags:", "$00000001"},       {2, "Start address:", "$80401000"},
                {3, "Unicode:", "$00000001"},     {3, "Start address:", "$00401000"},
                {3, "Image name:", "$7FFDF030"},  {4, "Thread Id:", "$000000A4"},
                {6, "File handle:", "$0000011C"}, {6, "Base of Dll:", "$10000000"},
                {8, "Length:", "$0000000C"},      {9, "Type:", "$00000002"}};
  for (const auto& v : values) EXPECT_EQ(host.pages.value(v.code, v.caption), v.value) << v.caption;
  // A bare LF becomes the edit's line break; pages without a text box have no text.
  const std::vector<std::string> texts = {
      "Access violation in prog.exe", "",           "C:\\apps\\prog.exe", "", "C:\\p.exe",
      "C:\\apps\\helper.dll",         "helper.dll", "hello world\r\n",    ""};
  for (int code = 1; code <= 9; ++code) EXPECT_EQ(host.pages.text(code), texts[code - 1]) << code;
}

TEST(DetailPages, AClickOnATabBringsItsPageAndTheTextBoxTakesTheNewHeight) {
  Host host;
  RECT item{};
  SendMessageA(host.pages.handle(), TCM_GETITEMRECT, 2, reinterpret_cast<LPARAM>(&item));
  const LPARAM at = MAKELPARAM((item.left + item.right) / 2, (item.top + item.bottom) / 2);
  PostMessageA(host.pages.handle(), WM_LBUTTONDOWN, MK_LBUTTON, at);
  PostMessageA(host.pages.handle(), WM_LBUTTONUP, 0, at);
  ASSERT_TRUE(pumpUntil([&] { return host.pages.currentCode() == 3; }));
  EXPECT_TRUE(IsWindowVisible(host.page(3)));
  EXPECT_FALSE(IsWindowVisible(host.page(1)));

  const HWND box = FindWindowExA(host.page(3), nullptr, "Edit", nullptr);
  auto boxRect = [&] {
    RECT r{};
    GetWindowRect(box, &r);
    return r;
  };
  const RECT before = boxRect();
  EXPECT_GT(before.bottom - before.top, 20);  // a line and the scroll bar
  host.pages.move(0, 0, 500, 400);
  const RECT after = boxRect();
  EXPECT_EQ(after.top, before.top);
  EXPECT_EQ(after.bottom - before.bottom, 176);
  EXPECT_EQ(after.right - before.right, 110);
}

std::string tempFolder() {
  char path[MAX_PATH] = {};
  GetTempPathA(sizeof path, path);
  return path;
}

TEST(EventSave, WritesCrLfLinesReplacingTheFileAndNamesAnUnwritableOne) {
  TDbgEventList store;
  const auto fault = fake::makeException(0x10, 0x20, 0xC0000005, 0x401234, true);
  store.append(recorded(1, fault, "", "Access violation"));
  const std::vector<report::EventRow> rows = {report::eventRow(1, fault, "Addr:$00401234")};
  const std::string name = tempFolder() + "ostrel-export-test.txt";
  std::ofstream(name, std::ios::binary) << std::string(4000, 'x');  // nothing of it may remain

  ui::TDebugEventSave().saveToText("C:\\apps\\prog.exe", rows, store, name);
  std::ifstream in(name, std::ios::binary);
  const std::string bytes{std::istreambuf_iterator<char>(in), {}};
  in.close();
  DeleteFileA(name.c_str());
  const std::string title = "C:\\apps\\prog.exe DEBUG EVENTS\r\nDate: ";
  const size_t dateEnd = bytes.find("\r\n", title.size());
  ASSERT_EQ(bytes.substr(0, title.size()), title);
  ASSERT_NE(dateEnd, std::string::npos);
  EXPECT_NE(bytes.substr(title.size(), dateEnd - title.size()).find(' '), std::string::npos);
  EXPECT_EQ(bytes.substr(dateEnd),
            "\r\n\r\n1 $00000010 $00000020 Exception - First chance Addr:$00401234\r\n"
            "Exception Access violation\r\n");

  for (const std::string& bad : {tempFolder() + "ostrel-no-such-folder\\x.txt", tempFolder()}) {
    try {
      ui::TDebugEventSave().saveToText("prog.exe", rows, store, bad);
      ADD_FAILURE() << "no error for " << bad;
    } catch (const std::runtime_error& error) {
      EXPECT_NE(std::string(error.what()).find("\"" + bad + "\""), std::string::npos)
          << error.what();
    }
  }
}

}  // namespace
}  // namespace ostrel::gtest_gui
