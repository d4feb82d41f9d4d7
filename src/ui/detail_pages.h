// STUB until the details branch lands.
#pragma once
#include <windows.h>

#include <string>

#include "engine/event_records.h"
#include "ui/ui_common.h"
namespace ostrel::ui {
class DetailPages {
 public:
  void create(HWND parent, int id, const Dpi& dpi);
  void move(int x, int y, int width, int height);
  HWND handle() const { return tabs_; }
  void show(TDbgEvent& event);
  bool onNotify(const NMHDR* header);
  int currentCode() const { return code_; }
  std::string value(int code, const std::string& caption) const;
  std::string text(int code) const;

 private:
  HWND tabs_ = nullptr;
  int code_ = 1;
};
}  // namespace ostrel::ui
