#include "stack/symbolizer.h"

#include <algorithm>
#include <cstdio>

namespace ostrel {

Symbolizer::ExportIndex::ExportIndex(const PeImage& image) : code_(image.ExecutableRanges) {
  names_.reserve(image.Exports.size());
  for (const PeExport& e : image.Exports) {
    // Appended rather than "#" + text: GCC 12 at -O3 misreads that as an overlapping copy.
    std::string name = e.Name;
    if (name.empty()) name.append(1, '#').append(std::to_string(e.Ordinal));
    names_.emplace_back(e.Rva, std::move(name));
  }
  // Several names for one address: the first in table order names it.
  std::stable_sort(names_.begin(), names_.end(),
                   [](const auto& a, const auto& b) { return a.first < b.first; });
}

std::string Symbolizer::ExportIndex::routineAt(uint32_t rva) const {
  auto after = std::upper_bound(names_.begin(), names_.end(), rva,
                                [](uint32_t value, const auto& e) { return value < e.first; });
  if (after == names_.begin()) return {};
  const uint32_t start = std::prev(after)->first;
  // An export of another section (data, or code far before) says nothing of this address.
  auto sameCode = [&](const PeRange& r) {
    return start >= r.Begin && start < r.End && rva >= r.Begin && rva < r.End;
  };
  if (!std::any_of(code_.begin(), code_.end(), sameCode)) return {};
  // The first name listed for that address.
  auto first = std::lower_bound(names_.begin(), after, start,
                                [](const auto& e, uint32_t value) { return e.first < value; });
  if (rva == start) return first->second;
  // "+$" and the offset in upper-case hexadecimal, written by hand: this runs for every
  // entry of every stack shown.
  char digits[8];
  int n = 0;
  for (uint32_t offset = rva - start; offset != 0; offset >>= 4)
    digits[n++] = "0123456789ABCDEF"[offset & 0xF];
  std::string routine;
  routine.reserve(first->second.size() + 2 + static_cast<size_t>(n));
  routine.append(first->second).append("+$");
  while (n > 0) routine.push_back(digits[--n]);
  return routine;
}

Symbolizer::Symbolizer(bool useMaps, ImageReader readImage, MapLocator findMap)
    : useMaps_(useMaps), readImage_(std::move(readImage)), findMap_(std::move(findMap)) {}

std::string Symbolizer::fileNameOf(const std::string& path) {
  // By hand: find_last_of searches its set once per character, and this runs for every
  // entry of every stack shown.
  size_t start = path.size();
  while (start > 0 && path[start - 1] != '\\' && path[start - 1] != '/') --start;
  return path.substr(start);
}

std::string Symbolizer::mapPathFor(const std::string& modulePath) {
  const size_t slash = modulePath.find_last_of("\\/");
  const size_t dot = modulePath.find_last_of('.');
  const bool hasExtension = dot != std::string::npos && (slash == std::string::npos || dot > slash);
  return (hasExtension ? modulePath.substr(0, dot) : modulePath) + ".map";
}

std::unique_ptr<Symbolizer::ModuleSymbols> Symbolizer::load(const std::string& path) const {
  auto symbols = std::make_unique<ModuleSymbols>();
  // The headers give the code base of the map and the size; without them neither the map
  // nor the exports can be placed.
  PeParseResult image = readImage_ ? readImage_(path) : PeParseResult{};
  if (!image.Ok) return symbols;
  symbols->codeRva = image.Image.codeRva();
  symbols->sizeOfImage = image.Image.SizeOfImage;
  symbols->exports = ExportIndex(image.Image);
  if (useMaps_ && symbols->codeRva != 0) {
    // The map's offsets count from the module's code base, as for the program's own map.
    // Read in blocks: the tables hold everything needed, the text is large.
    const std::string mapPath = findMap_ ? findMap_(path) : mapPathFor(path);
    auto map = std::make_unique<TMap>();
    if (!mapPath.empty() && map->loadAndParse(mapPath)) symbols->map = std::move(map);
  }
  return symbols;
}

SymbolInfo Symbolizer::symbolize(const SymbolModule& module, uint32_t address) {
  SymbolInfo info;
  info.ModuleName = fileNameOf(module.Path);
  const uint32_t rva = address - module.Base;
  if (address < module.Base || (module.Size != 0 && rva >= module.Size)) return info;

  std::lock_guard<std::mutex> lock(mutex_);
  // A stack names its entries module by module: the module of the last call is likely
  // this one's.
  if (last_ == nullptr || last_->first != module.Path) {
    auto it = modules_.try_emplace(module.Path).first;
    if (!it->second) it->second = load(module.Path);
    last_ = &*it;
  }
  const ModuleSymbols& symbols = *last_->second;
  if (module.Size == 0 && symbols.sizeOfImage != 0 && rva >= symbols.sizeOfImage) return info;

  if (symbols.map) {
    TCodeLocation location;
    symbols.map->lookup(module.Base + symbols.codeRva, address, location);
    if (!location.UnitName.empty()) {
      info.UnitName = std::move(location.UnitName);
      info.RoutineName = std::move(location.RoutineName);
      info.LineText = std::move(location.LineText);
      return info;
    }
  }
  info.RoutineName = symbols.exports.routineAt(rva);
  return info;
}

}  // namespace ostrel
