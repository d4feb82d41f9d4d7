// Names code addresses of any module: through the module's own map file when there is one,
// else through its export table.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <utility>
#include <vector>

#include "mapfile/map.h"
#include "stack/pe_exports.h"

namespace ostrel {

/// A loaded module: its file as the debuggee's loader named it, where it lies, how large.
struct SymbolModule {
  std::string Path;
  uint32_t Base = 0;
  uint32_t Size = 0;  // 0 when unknown: the image's SizeOfImage then bounds it
};

/// Where an address lies. Empty fields are unknown; a module without map and exports gives
/// only ModuleName.
struct SymbolInfo {
  std::string ModuleName;  // the module's file name, without folder
  std::string UnitName;
  std::string RoutineName;
  std::string LineText;
};

class Symbolizer {
 public:
  using ImageReader = std::function<PeParseResult(const std::string& path)>;
  /// The map file of a module path; empty when it has none.
  using MapLocator = std::function<std::string(const std::string& path)>;

  /// `useMaps` false names every module by its exports only. The image reader defaults to
  /// reading the module file from disk, the map locator to `NAME.map` beside it.
  explicit Symbolizer(bool useMaps = true, ImageReader readImage = parsePeFile,
                      MapLocator findMap = nullptr);

  /// Names `address` of `module`. The module's map (`NAME.map` beside it) or export table is
  /// read the first time one of its addresses is asked and kept until the symbolizer is
  /// destroyed. Never throws but for std::bad_alloc; safe to call from several threads.
  SymbolInfo symbolize(const SymbolModule& module, uint32_t address);

  /// The map file name that belongs to a module file: its extension replaced by ".map".
  static std::string mapPathFor(const std::string& modulePath);
  /// The file name of a path with either kind of folder separator.
  static std::string fileNameOf(const std::string& path);

  /// The export names of one module, sorted by RVA once, searched by bisection.
  class ExportIndex {
   public:
    ExportIndex() = default;
    explicit ExportIndex(const PeImage& image);
    /// `NAME` or `NAME+$OFFSET` for the nearest export at or below `rva` in the same
    /// executable section; empty when there is none.
    std::string routineAt(uint32_t rva) const;
    bool empty() const { return names_.empty(); }

   private:
    std::vector<std::pair<uint32_t, std::string>> names_;  // by RVA
    std::vector<PeRange> code_;
  };

 private:
  struct ModuleSymbols {
    std::unique_ptr<TMap> map;  // nullptr without a usable map
    uint32_t codeRva = 0;
    uint32_t sizeOfImage = 0;
    ExportIndex exports;
  };

  std::unique_ptr<ModuleSymbols> load(const std::string& path) const;

  bool useMaps_;
  ImageReader readImage_;
  MapLocator findMap_;
  std::mutex mutex_;
  std::map<std::string, std::unique_ptr<ModuleSymbols>> modules_;  // by module path
  // The entry of the module named last; map entries stay where they are.
  const std::pair<const std::string, std::unique_ptr<ModuleSymbols>>* last_ = nullptr;
};

}  // namespace ostrel
