#include "mapfile/map.h"

#include <cstdio>

#include "mapfile/map_feedback.h"
#include "mapfile/map_tokens.h"

namespace ostrel {

namespace {

std::unique_ptr<TMap>& globalSlot() {
  static std::unique_ptr<TMap> map;
  return map;
}

// Line i of the text; running past the end fails the pass.
std::string_view lineAt(const TMapText& text, size_t i) {
  if (i >= text.count()) throw MapFormatError("unexpected end of the map");
  return text[i];
}

// "SSSS:OOOOOOOO" split by position: the segment is validated and dropped.
uint32_t readSegmentOffset(std::string_view token) {
  readHex(copyText(token, 1, 4));
  return readHex(copyText(token, 6, 13));
}

void widen(uint32_t& minAddress, uint32_t& maxAddress, bool first, uint32_t low, uint32_t high) {
  if (first) {
    minAddress = 0xFFFFFFFFu;
    maxAddress = 0;
  }
  if (low < minAddress) minAddress = low;
  if (high > maxAddress) maxAddress = high;
}

}  // namespace

// ---- TUnits ----

void TUnits::add(TUnit unit) {
  widen(MinAddress, MaxAddress, items_.empty(), unit.StartAddress, unit.EndAddress);
  items_.push_back(std::move(unit));
  indexed_ = false;
}

void TUnits::clear() {
  items_.clear();
  index_.clear();
  indexed_ = false;
}

int32_t TUnits::indexOfAddress(uint32_t offset) const {
  if (!indexed_) {
    std::vector<CoverIndex::Range> ranges;
    ranges.reserve(items_.size());
    // Later entries win, so they are listed first. The end is inclusive; an end below
    // the start (a wrapped length) covers nothing.
    for (size_t i = items_.size(); i-- > 0;) {
      const TUnit& u = items_[i];
      ranges.push_back({u.StartAddress, uint64_t{u.EndAddress} + 1, static_cast<int32_t>(i)});
    }
    index_.buildFromRanges(ranges);
    indexed_ = true;
  }
  return index_.find(offset);
}

const TUnit* TUnits::findByAddress(uint32_t offset) const {
  int32_t i = indexOfAddress(offset);
  return i < 0 ? nullptr : &items_[static_cast<size_t>(i)];
}

int32_t TUnits::indexOfAddressLinear(uint32_t offset) const {
  for (size_t i = items_.size(); i-- > 0;)
    if (items_[i].StartAddress <= offset && offset <= items_[i].EndAddress)
      return static_cast<int32_t>(i);
  return -1;
}

// ---- Tmethods ----

void Tmethods::add(Tmethod method) {
  widen(MinAddress, MaxAddress, items_.empty(), method.StartAddress, method.StartAddress);
  items_.push_back(std::move(method));
  indexed_ = false;
}

void Tmethods::clear() {
  items_.clear();
  index_.clear();
  indexed_ = false;
}

int32_t Tmethods::indexOfAddress(uint32_t offset) const {
  if (!indexed_) {
    std::vector<uint32_t> starts;
    starts.reserve(items_.size());
    for (const Tmethod& m : items_) starts.push_back(m.StartAddress);
    index_.buildFromStarts(starts);
    indexed_ = true;
  }
  return index_.find(offset);
}

const Tmethod* Tmethods::findByAddress(uint32_t offset) const {
  int32_t i = indexOfAddress(offset);
  return i < 0 ? nullptr : &items_[static_cast<size_t>(i)];
}

int32_t Tmethods::indexOfAddressLinear(uint32_t offset) const {
  for (size_t i = 0; i + 1 < items_.size(); ++i)
    if (items_[i].StartAddress <= offset && offset < items_[i + 1].StartAddress)
      return static_cast<int32_t>(i);
  return -1;
}

// ---- TLines ----

void TLines::add(TLine line) {
  items_.push_back(line);
  indexed_ = false;
}

void TLines::clear() {
  items_.clear();
  index_.clear();
  indexed_ = false;
}

int32_t TLines::indexOfAddress(uint32_t offset) const {
  if (!indexed_) {
    std::vector<uint32_t> starts;
    starts.reserve(items_.size());
    for (const TLine& l : items_) starts.push_back(l.Address);
    index_.buildFromStarts(starts);
    indexed_ = true;
  }
  return index_.find(offset);
}

const TLine* TLines::findByAddress(uint32_t offset) const {
  int32_t i = indexOfAddress(offset);
  return i < 0 ? nullptr : &items_[static_cast<size_t>(i)];
}

int32_t TLines::indexOfAddressLinear(uint32_t offset) const {
  for (size_t i = 0; i + 1 < items_.size(); ++i)
    if (items_[i].Address <= offset && offset < items_[i + 1].Address)
      return static_cast<int32_t>(i);
  return -1;
}

// ---- TLineTables ----

int32_t TLineTables::indexOf(std::string_view name) const {
  auto it = byName_.find(lowerText(name));
  return it == byName_.end() ? -1 : it->second;
}

int32_t TLineTables::indexOfLinear(std::string_view name) const {
  for (size_t i = 0; i < items_.size(); ++i)
    if (sameText(items_[i].first, name)) return static_cast<int32_t>(i);
  return -1;
}

int32_t TLineTables::add(std::string_view name) {
  int32_t index = static_cast<int32_t>(items_.size());
  items_.emplace_back(std::string(name), TLines());
  byName_.emplace(lowerText(name), index);  // keeps the first table of that name
  return index;
}

void TLineTables::clear() {
  items_.clear();
  byName_.clear();
}

// ---- TMap ----

TMap::TMap(const std::string& mapFileName) {
  if (mapFileName.empty()) return;
  try {
    loadMapFile(mapFileName);
  } catch (...) {
    Loaded = false;
  }
}

void TMap::message(const std::string& text) {
  if (OnMessage) OnMessage(text);
}

void TMap::loadMapFile(const std::string& path) {
  Loaded = false;
  std::FILE* probe = std::fopen(path.c_str(), "rb");
  if (!probe) return;
  std::fclose(probe);
  MapFileName = path;
  try {
    Loaded = MapText.loadFromFile(path);
  } catch (...) {
    Loaded = false;
  }
}

bool TMap::loadSegments() {
  try {
    message("Loading units informations...\r\n");
    const size_t n = MapText.count();
    size_t i = 0;
    while (i < n && !sameText(MapText[i], "Detailed map of segments")) ++i;
    int count = 0;
    std::string lastName;
    if (i < n) {
      ++i;
      while (lineAt(MapText, i).empty()) ++i;
      for (;; ++i) {
        std::string_view line = lineAt(MapText, i);
        if (trimText(line).empty()) break;
        TUnit unit;
        size_t pos = 1;
        uint32_t length = 0;
        std::string_view token = nextToken(line, pos);
        if (!token.empty()) unit.StartAddress = readSegmentOffset(token);
        token = nextToken(line, pos);
        if (!token.empty()) length = readHex(token);
        nextToken(line, pos);  // class
        nextToken(line, pos);  // segment name
        unit.GroupName = std::string(copyText(nextToken(line, pos), 3));
        unit.Name = std::string(copyText(nextToken(line, pos), 3));
        token = nextToken(line, pos);
        if (!token.empty()) unit.Acbp = static_cast<int32_t>(readHex(copyText(token, 6)));
        unit.EndAddress = unit.StartAddress + length;
        unit.LineTableIndex = -1;
        lastName = unit.Name;
        Units.add(std::move(unit));
        ++count;
        if (count % 10 == 0 && OnUnitsProgress) OnUnitsProgress(lastName, count);
      }
    }
    if (OnUnitsProgress) OnUnitsProgress(lastName, count);
    return true;
  } catch (...) {
    return false;
  }
}

bool TMap::loadLineNumbers() {
  int count = 0;
  std::string unitName;
  bool ok = true;
  try {
    message("Loading lines informations...\r\n");
    const size_t n = MapText.count();
    size_t i = 0;
    for (;;) {
      // Header search.
      std::string_view name;
      while (i < n) {
        std::string_view line = MapText[i];
        if (line.substr(0, 17) == "Line numbers for ") {
          name = unitNameFromHeader(line);
          if (!name.empty()) break;
        }
        ++i;
      }
      if (i >= n) break;
      unitName = std::string(name);
      TLines& table = lineTable(unitName);
      i += 2;
      // Rows, up to the line that starts the next section or block.
      for (;; ++i) {
        std::string_view line = lineAt(MapText, i);
        if (line.find("Line numbers for") != std::string_view::npos ||
            line.find("Program entry point") != std::string_view::npos ||
            line.find("Bound resource files") != std::string_view::npos)
          break;
        size_t pos = 1;
        for (;;) {
          std::string_view token = nextToken(line, pos);
          if (token.empty()) break;
          int32_t lineNumber = readDecimal(token);
          token = nextToken(line, pos);
          size_t colon = token.find(':');
          if (colon != std::string_view::npos) {
            readHex(token.substr(0, colon));
            uint32_t offset = readHex(token.substr(colon + 1));
            table.add(TLine{lineNumber, offset});
            ++count;
            if (count % 100 == 0 && OnLinesProgress) OnLinesProgress(unitName, count);
          }
          if (token.empty()) break;
        }
      }
    }
  } catch (...) {
    ok = false;
  }
  try {
    if (OnLinesProgress) OnLinesProgress(unitName, count);
  } catch (...) {
    ok = false;
  }
  return ok;
}

bool TMap::loadPublics() {
  try {
    message("Loading methods informations...\r\n");
    const size_t n = MapText.count();
    size_t i = 0;
    while (i < n && !isPublicsByValueHeader(MapText[i])) ++i;
    if (i >= n) return false;
    i += 2;
    int count = 0;
    std::string lastName;
    std::string unmatched;
    bool anyUnmatched = false;
    for (;; ++i) {
      std::string_view line = lineAt(MapText, i);
      if (trimText(line).empty()) break;
      size_t pos = 1;
      uint32_t offset = readSegmentOffset(nextToken(line, pos));
      std::string_view name = nextToken(line, pos);
      int32_t unitIndex = Units.indexOfAddress(offset);
      if (unitIndex >= 0) {
        const std::string& unitName = Units[static_cast<size_t>(unitIndex)].Name;
        int32_t tableIndex = lineTableIndex(unitName);
        Units.setLineTableIndex(static_cast<size_t>(unitIndex), tableIndex);
        Routines.add(Tmethod{unitIndex, tableIndex, std::string(name), offset});
        ++count;
        if (count % 100 == 0 && OnRoutinesProgress) OnRoutinesProgress(std::string(name), count);
        lastName = std::string(name);
      } else {
        anyUnmatched = true;
        // The report goes only to OnMessage; without a listener it is not built.
        if (OnMessage) {
          unmatched.append(line);
          unmatched.append(" Address : $");
          unmatched.append(hexNoZeros(offset));
          unmatched.append("\r\n");
        }
      }
    }
    if (OnRoutinesProgress) OnRoutinesProgress(lastName, count);
    if (anyUnmatched) message("Unit(s) Not Found!\r\n" + unmatched + "\r\n");
    return true;
  } catch (...) {
    return false;
  }
}

bool TMap::parse() {
  bool ok = false;
  uint64_t started = 0;
  try {
    message("Loading Map file...\r\n");
    started = mapFeedback().nowMilliseconds();
  } catch (...) {
  }
  ok = loadSegments() && loadLineNumbers() && loadPublics();
  try {
    uint64_t elapsed = mapFeedback().nowMilliseconds() - started;
    char text[160];
    std::snprintf(text, sizeof text, "Elapsed time %d hour %d minute %d secundum %d milisec.",
                  static_cast<int>(elapsed / 3600000), static_cast<int>(elapsed / 60000 % 60),
                  static_cast<int>(elapsed / 1000 % 60), static_cast<int>(elapsed % 1000));
    message(text);
  } catch (...) {
  }
  return ok;
}

bool TMap::loadSymbols() {
  if (!Loaded) return false;
  WaitCursor wait;
  bool ok = parse();
  if (!ok) mapFeedback().showError("Can not to load " + MapFileName + "MAP file!");
  return ok;
}

int32_t TMap::lineTableIndex(std::string_view unitName) {
  int32_t i = LineTables.indexOf(unitName);
  return i >= 0 ? i : LineTables.add(unitName);
}

TLines& TMap::lineTable(std::string_view unitName) {
  return LineTables.lines(static_cast<size_t>(lineTableIndex(unitName)));
}

int32_t TMap::lineTableOfUnit(size_t unitIndex) {
  if (unitTables_.size() < Units.size()) unitTables_.resize(Units.size(), -1);
  int32_t& cached = unitTables_[unitIndex];
  if (cached < 0) cached = lineTableIndex(Units[unitIndex].Name);
  return cached;
}

void TMap::clearTables() {
  Units.clear();
  Routines.clear();
  LineTables.clear();
  unitTables_.clear();
}

void TMap::lookup(uint32_t address, TCodeLocation& location) {
  location.UnitName.clear();
  location.RoutineName.clear();
  location.LineText.clear();
  if (CodeBase == 0) return;
  const uint32_t offset = address - CodeBase;
  if (offset < Units.MinAddress || offset > Units.MaxAddress) return;
  const int32_t unitIndex = Units.indexOfAddress(offset);
  if (unitIndex < 0) return;
  const Tmethod* routine = nullptr;
  if (offset >= Routines.MinAddress && offset <= Routines.MaxAddress)
    routine = Routines.findByAddress(offset);
  const TLines& lines = LineTables.lines(static_cast<size_t>(lineTableOfUnit(static_cast<size_t>(unitIndex))));
  const TLine* line = lines.findByAddress(offset);
  location.UnitName = Units[static_cast<size_t>(unitIndex)].Name;
  location.RoutineName = routine ? routine->Name : std::string("-");
  location.LineText = line ? std::to_string(line->LineNumber) : std::string("-");
}

void TMap::lookupLinear(uint32_t address, TCodeLocation& location) {
  location.UnitName.clear();
  location.RoutineName.clear();
  location.LineText.clear();
  if (CodeBase == 0) return;
  const uint32_t offset = address - CodeBase;
  std::string routine = "-";
  if (!(offset < Routines.MinAddress || offset > Routines.MaxAddress)) {
    int32_t r = Routines.indexOfAddressLinear(offset);
    if (r >= 0) routine = Routines[static_cast<size_t>(r)].Name;
  }
  if (offset < Units.MinAddress || offset > Units.MaxAddress) return;
  int32_t u = Units.indexOfAddressLinear(offset);
  if (u < 0) return;
  const std::string& unitName = Units[static_cast<size_t>(u)].Name;
  int32_t t = LineTables.indexOfLinear(unitName);
  if (t < 0) t = LineTables.add(unitName);
  const TLines& lines = LineTables.lines(static_cast<size_t>(t));
  int32_t l = lines.indexOfAddressLinear(offset);
  location.UnitName = unitName;
  location.RoutineName = routine;
  location.LineText = l < 0 ? std::string("-") : std::to_string(lines[static_cast<size_t>(l)].LineNumber);
}

// ---- process-wide map ----

TMap* globalMap() { return globalSlot().get(); }

bool TMap::loadMapFor(const std::string& programPath) {
  try {
    WaitCursor wait;
    std::unique_ptr<TMap>& map = globalSlot();
    if (map && !map->ProgramName.empty()) return false;
    std::string mapPath = mapFileNameFor(programPath);
    if (!map) map = std::make_unique<TMap>();
    // A retry after a failed parse starts from empty tables: appending would grow the
    // map by a whole copy on every attempt.
    map->clearTables();
    map->loadMapFile(mapPath);
    bool ok = map->loadSymbols();
    if (ok) map->ProgramName = programPath;
    return ok;
  } catch (...) {
    return false;
  }
}

TCodeLocation TMap::addressInfo(uint32_t codeBase, uint32_t address) {
  TCodeLocation location;
  if (TMap* map = globalMap()) {
    map->CodeBase = codeBase;
    map->lookup(address, location);
  }
  return location;
}

void TMap::releaseMap() { globalSlot().reset(); }

}  // namespace ostrel
