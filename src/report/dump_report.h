// The report of a minidump, as "ostrel-cli dump report" and the call stack window show it:
// the system and the exception, every thread's stack walked over the dump's memory and
// named through the modules' maps or export tables, and the module list.
#pragma once

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <unordered_map>
#include <string>
#include <vector>

#include "minidump/minidump.h"
#include "report/stack_lines.h"
#include "stack/symbolizer.h"

namespace ostrel::report {

/// Finds the files of a dump's modules: each module file and its map are looked for beside
/// the dump, then in each maps folder, then at the module's recorded path (a map also
/// beside the module file found). A module file counts only when its image is as large as
/// the dump recorded (another build of it would name nothing right). Module images are
/// read once, laid out as loaded, and kept while the finder lives.
class DumpModuleFiles {
 public:
  DumpModuleFiles(const std::string& dumpPath, const Minidump& dump,
                  std::vector<std::string> mapFolders);

  /// The module file for a recorded module path; empty when none is found.
  std::string imagePath(const std::string& recordedPath);
  /// The map for a recorded module path; empty when none is found.
  std::string mapPath(const std::string& recordedPath);
  /// Copies up to n bytes of the module's image as loaded, from rva on; the number copied
  /// (0 without a file, or past its image).
  uint32_t readImage(const DumpModule& module, uint32_t rva, void* out, uint32_t n);
  /// A symbolizer that names modules by their recorded paths through the files found here;
  /// the finder must outlive it.
  std::unique_ptr<Symbolizer> makeSymbolizer();

  /// A recorded Windows path as this system opens it ("Z:\x\y" is "/x/y" outside Windows).
  static std::string localPath(const std::string& recordedPath);

 private:
  bool fits(const std::string& candidate, const std::string& recordedPath);

  struct Exports {
    std::unordered_map<std::string, uint32_t> byName;  // addresses in the dump
    std::unordered_map<uint32_t, uint32_t> byOrdinal;
    std::unordered_map<std::string, std::string> forwardedNames;  // "OTHER.Name"
    std::unordered_map<uint32_t, std::string> forwardedOrdinals;
  };
  /// The exports of the dump's module with that file name; nullptr when its file is not
  /// found.
  const Exports* exportsOf(const std::string& dll);
  std::optional<uint32_t> resolveImport(const std::string& dll, const std::string& name,
                                        uint32_t ordinal, int depth);

  std::vector<std::string> folders_;          // the dump's folder, then the maps folders
  std::map<std::string, uint32_t> sizes_;     // image sizes by recorded path
  std::map<std::string, std::string> images_;  // module files found, by recorded path
  std::map<uint64_t, std::string> loaded_;    // images as loaded, by module base
  std::map<std::string, DumpModule> byFileName_;  // lower-case file name
  std::map<std::string, std::unique_ptr<Exports>> exports_;  // by lower-case file name
};

struct DumpThreadStack {
  uint32_t threadId = 0;
  bool crashed = false;  // the exception's thread
  std::vector<StackLine> entries;  // innermost first; "E:" is the crashed thread's context
};

struct DumpReport {
  std::vector<std::string> header;   // system, process and exception lines
  std::vector<DumpThreadStack> threads;  // the exception's thread first, then the dump's order
  std::vector<std::string> modules;  // "$BASE\t$END\tNAME\tVERSION", in the dump's order

  /// The whole report: the header, a blank line, each thread ("Thread $TID", " (crashed)"
  /// for the exception's, then its entries as stack lines), a blank line, "Modules:" and
  /// the module lines; every line ended by "\n".
  std::string text() const;
};

struct DumpReportOptions {
  std::vector<std::string> mapFolders;
  uint32_t maxEntries = 256;  // per thread
};

/// Reads the dump at path and builds its report. False with error set ("FILE: what is
/// wrong and where") when the dump cannot be read or is damaged. Throws only
/// std::bad_alloc.
bool buildDumpReport(const std::string& path, const DumpReportOptions& options,
                     DumpReport& report, std::string& error);

/// The report of a parsed dump, its module files found through files.
DumpReport dumpReport(Minidump& dump, DumpModuleFiles& files, uint32_t maxEntries);

/// A module of a dump as the symbolizer knows it: its recorded path, base and size.
SymbolModule symbolModuleOf(const DumpModule& module);

}  // namespace ostrel::report
