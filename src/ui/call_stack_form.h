// The call stack window: a stored exception log shown as its report and its call stack
// resolved through the map its opener chose for it.
#pragma once

#include <windows.h>

#include <memory>
#include <string>
#include <vector>

#include "excpack/global_exc_pkg_types.h"
#include "ui/modal_dialog.h"

namespace ostrel {
class TMap;
}

namespace ostrel::ui {

class TdisplayCallStackForm : public ModalDialog {
 public:
  // Control ids; "&Close" is IDOK, so Enter reaches it, and Escape closes as well.
  static constexpr int kCallStackListView = 101;
  static constexpr int kMessageMemo = 102;
  static constexpr int kUnitsLabel = 103;
  static constexpr int kRoutinesLabel = 104;
  static constexpr int kLinesLabel = 105;

  /// path: the log to show (empty: the window opens empty); content: what was read from it.
  /// map: names the log's addresses (nullptr: addresses only); it must outlive the window.
  TdisplayCallStackForm(std::string path, std::string content, std::vector<std::string> modules,
                        const TMap* map = nullptr)
      : path_(std::move(path)),
        content_(std::move(content)),
        map_(map),
        ModuleNames(std::move(modules)) {}

  /// Opens the window for the log at path with the module names of its call stack items
  /// (one per line; may be empty), resolved through map. A log that cannot be read is
  /// reported in an error box naming it, and no window opens.
  static void showCallStack(HWND owner, const std::string& path, const std::string& moduleNames,
                            const TMap* map = nullptr);
  void closeButtonClick();

 protected:
  Frame frame() const override;
  void onCreate() override;
  bool onCommand(int id, int code, HWND control) override;
  bool onNotify(NMHDR* header, LRESULT& result) override;

 private:
  void fill();

  std::string path_, content_;
  const TMap* map_ = nullptr;

 public:
  std::vector<std::string> ModuleNames;
  std::unique_ptr<excpack::TExceptionPack> Pack;
};

}  // namespace ostrel::ui
