// The call stack window: a stored exception log shown as its report and its call stack
// resolved through the map its opener chose for it (and through the minidump beside it),
// or a minidump shown as its report and its crashed thread's walked stack.
#pragma once

#include <windows.h>

#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "excpack/global_exc_pkg_types.h"
#include "report/dump_report.h"
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

  /// A minidump's report: the whole report in the memo, the first thread's stack (the
  /// crashed one, when the dump has an exception) in the list, with a "Found by" column.
  explicit TdisplayCallStackForm(report::DumpReport dump) : dump_(std::move(dump)) {}

  /// Opens the window for the log at path with the module names of its call stack items
  /// (one per line; may be empty), resolved through map; the minidump written with the log
  /// (NAME.dmp beside NAME.err) names the modules and the DLL frames. A path ending in
  /// ".dmp" opens that minidump instead (showDump). A log that cannot be read is reported
  /// in an error box naming it, and no window opens. mapFolders: where else maps of the
  /// dump's modules are looked for.
  static void showCallStack(HWND owner, const std::string& path, const std::string& moduleNames,
                            const TMap* map = nullptr,
                            const std::vector<std::string>& mapFolders = {});
  /// Opens the window for the minidump at path, its modules named through the maps found
  /// beside the dump, in mapFolders and beside the module files. A dump that cannot be
  /// read or is damaged is reported in an error box naming it, and no window opens.
  static void showDump(HWND owner, const std::string& path,
                       const std::vector<std::string>& mapFolders = {});
  /// Whether a path names a minidump (its extension is ".dmp", in any case).
  static bool isDumpPath(const std::string& path);
  void closeButtonClick();

 protected:
  Frame frame() const override;
  void onCreate() override;
  bool onCommand(int id, int code, HWND control) override;
  bool onNotify(NMHDR* header, LRESULT& result) override;

 private:
  void fill();
  void fillDump();
  int columnCount() const { return dump_ ? 7 : 6; }

  std::string path_, content_;
  const TMap* map_ = nullptr;
  std::vector<std::string> mapFolders_;
  std::optional<report::DumpReport> dump_;

 public:
  std::vector<std::string> ModuleNames;
  std::unique_ptr<excpack::TExceptionPack> Pack;
};

}  // namespace ostrel::ui
