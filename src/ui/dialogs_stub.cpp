// STUB until the dialogs branch lands.
#include "ui/pref_settings.h"
#include "ui/process_list.h"
#include "ui/select_app.h"
namespace ostrel::ui {
void editPreferences(HWND, TPrefSettings&) {}
bool selectApplication(HWND, bool, std::string& a, std::string& b, std::string& c) {
  a.clear();
  b.clear();
  c.clear();
  return false;
}
int32_t selectProcess(HWND) { return -1; }
}  // namespace ostrel::ui
