#include "mapfile/map.h"

#include <algorithm>
#include <cctype>
#include <charconv>
#include <cstdio>
#include <functional>
#include <optional>
#include <stdexcept>

#include "mapfile/map_feedback.h"
#include "mapfile/map_tokens.h"

namespace ostrel {

namespace {

std::unique_ptr<TMap>& globalSlot() {
  static std::unique_ptr<TMap> map;
  return map;
}

// The current line; running past the end fails the pass.
std::string_view lineAt(const MapLineCursor& lines) {
  if (lines.atEnd()) throw MapFormatError("unexpected end of the map");
  return lines.line();
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

// Sorts by a 32-bit key in three passes of 11 bits (stable): big maps have millions of
// keys, and 2048 counts stay in the nearest cache where 65536 would not.
template <typename T, typename Key>
void radixSort(std::vector<T>& items, Key key) {
  if (items.size() >= 0xFFFFFFFFu) throw std::length_error("map: too many keys");
  if (items.size() < 4096) {  // the counts would cost more than the sort
    std::sort(items.begin(), items.end(),
              [&key](const T& a, const T& b) { return key(a) < key(b); });
    return;
  }
  std::vector<T> scratch(items.size());
  std::vector<uint32_t> first(2048);
  for (const unsigned shift : {0u, 11u, 22u}) {
    std::fill(first.begin(), first.end(), 0);
    for (const T& x : items) ++first[(key(x) >> shift) & 0x7FFu];
    uint32_t sum = 0;
    for (uint32_t& f : first) {
      const uint32_t n = f;
      f = sum;
      sum += n;
    }
    for (const T& x : items) scratch[first[(key(x) >> shift) & 0x7FFu]++] = x;
    items.swap(scratch);
  }
}

// (start << 32) | index: sorting these orders entries by start.
inline uint64_t startAndIndex(uint32_t start, size_t index) {
  return uint64_t{start} << 32 | index;
}
inline uint32_t startOf(uint64_t v) { return static_cast<uint32_t>(v >> 32); }
inline uint32_t indexOf(uint64_t v) { return static_cast<uint32_t>(v); }

// For points visited in ascending order, the first entry i of a list with
// key(i) <= p < key(i + 1): the answer of the plain scan. An ascending list is walked by
// a cursor; any other keeps the entries whose range has begun in a heap ordered by index,
// so the lowest index still covering the point is on top.
template <typename Key>
class FirstCoverSweep {
 public:
  FirstCoverSweep(size_t size, Key key) : size_(size), key_(key) {
    if (size_ >= 0x7FFFFFFFu) throw std::length_error("map: list too long");
    for (size_t i = 1; i < size_ && ascending_; ++i) ascending_ = key_(i - 1) <= key_(i);
    if (ascending_) return;
    for (size_t i = 0; i + 1 < size_; ++i)
      if (key_(i) < key_(i + 1)) order_.push_back(startAndIndex(key_(i), i));
    radixSort(order_, startOf);
  }

  int32_t at(uint32_t p) {
    if (ascending_) {
      while (below_ < size_ && key_(below_) <= p) ++below_;
      return below_ > 0 && below_ < size_ ? static_cast<int32_t>(below_ - 1) : -1;
    }
    for (; next_ < order_.size() && startOf(order_[next_]) <= p; ++next_) {
      heap_.push_back(indexOf(order_[next_]));
      std::push_heap(heap_.begin(), heap_.end(), std::greater<>());
    }
    while (!heap_.empty() && key_(heap_.front() + size_t{1}) <= p) {
      std::pop_heap(heap_.begin(), heap_.end(), std::greater<>());
      heap_.pop_back();
    }
    return heap_.empty() ? -1 : static_cast<int32_t>(heap_.front());
  }

 private:
  size_t size_;
  Key key_;
  bool ascending_ = true;
  size_t below_ = 0;             // ascending: entries starting at or below the last point
  std::vector<uint64_t> order_;  // otherwise: entries with a non-empty range, by start
  size_t next_ = 0;
  std::vector<uint32_t> heap_;
};

// For points visited in ascending order, the last unit entry whose inclusive range holds
// the point: started entries wait in a heap with the highest index on top.
class LastUnitSweep {
 public:
  explicit LastUnitSweep(const TUnits& units) : units_(units) {
    if (units.size() >= 0x7FFFFFFFu) throw std::length_error("map: too many units");
    for (size_t i = 0; i < units.size(); ++i)
      if (units[i].StartAddress <= units[i].EndAddress)
        order_.push_back(startAndIndex(units[i].StartAddress, i));
    radixSort(order_, startOf);
  }

  int32_t at(uint32_t p) {
    for (; next_ < order_.size() && startOf(order_[next_]) <= p; ++next_) {
      heap_.push_back(indexOf(order_[next_]));
      std::push_heap(heap_.begin(), heap_.end());
    }
    while (!heap_.empty() && units_[heap_.front()].EndAddress < p) {
      std::pop_heap(heap_.begin(), heap_.end());
      heap_.pop_back();
    }
    return heap_.empty() ? -1 : static_cast<int32_t>(heap_.front());
  }

 private:
  const TUnits& units_;
  std::vector<uint64_t> order_;
  size_t next_ = 0;
  std::vector<uint32_t> heap_;
};

// Forwards a cursor and watches every line it passes for the first publics header and
// the rows after it, as the publics pass will read them.
class PublicsWatch final : public MapLineCursor {
 public:
  PublicsWatch(MapLineCursor& lines, bool& found, uint64_t& mark, size_t& rows)
      : lines_(lines), found_(found), mark_(mark), rows_(rows) {}
  void rewind() override {
    lines_.rewind();
    state_ = Searching;
    found_ = false;
    rows_ = 0;
  }
  bool atEnd() const override { return lines_.atEnd(); }
  std::string_view line() const override { return lines_.line(); }
  void advance() override {
    if (state_ != Done && !lines_.atEnd()) watch(lines_.line());
    lines_.advance();
  }
  uint64_t mark() const override { return lines_.mark(); }
  bool seek(uint64_t) override { return false; }

 private:
  void watch(std::string_view line) {
    if (state_ == Searching) {
      // Most lines are rows whose first word is no "Address": they are told at once.
      const size_t first = line.find_first_not_of(' ');
      if (first == std::string_view::npos ||
          std::tolower(static_cast<unsigned char>(line[first])) != 'a')
        return;
      if (isPublicsByValueHeader(line)) {
        found_ = true;
        mark_ = lines_.mark();
        state_ = Counting;
        skip_ = 1;  // the line after the header
      }
      return;
    }
    if (skip_ > 0) {
      --skip_;
    } else if (trimText(line).empty()) {
      state_ = Done;
    } else {
      ++rows_;
    }
  }

  enum State { Searching, Counting, Done };
  MapLineCursor& lines_;
  bool& found_;
  uint64_t& mark_;
  size_t& rows_;
  State state_ = Searching;
  int skip_ = 0;
};

struct RoutineStart {
  const Tmethods* list;
  uint32_t operator()(size_t i) const { return (*list)[i].StartAddress; }
};

struct LineAddress {
  const TLines* list;
  uint32_t operator()(size_t i) const { return (*list)[i].Address; }
};

}  // namespace

// ---- TUnits ----

void TUnits::add(TUnit unit) {
  edits_.note();
  widen(MinAddress, MaxAddress, items_.empty(), unit.StartAddress, unit.EndAddress);
  items_.push_back(std::move(unit));
}

void TUnits::clear() {
  edits_.note();
  items_.clear();
}

int32_t TUnits::indexOfAddress(uint32_t offset) const {
  const CoverIndex& index = index_.get(edits_.count(), [this](CoverIndex& built) {
    std::vector<CoverIndex::Range> ranges;
    ranges.reserve(items_.size());
    // Later entries win, so they are listed first. The end is inclusive; an end below
    // the start (a wrapped length) covers nothing.
    for (size_t i = items_.size(); i-- > 0;) {
      const TUnit& u = items_[i];
      ranges.push_back({u.StartAddress, uint64_t{u.EndAddress} + 1, static_cast<int32_t>(i)});
    }
    built.buildFromRanges(ranges);
  });
  return index.find(offset);
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
  edits_.note();
  widen(MinAddress, MaxAddress, items_.empty(), method.StartAddress, method.StartAddress);
  items_.push_back(std::move(method));
}

void Tmethods::clear() {
  edits_.note();
  items_.clear();
}

int32_t Tmethods::indexOfAddress(uint32_t offset) const {
  const CoverIndex& index = index_.get(edits_.count(), [this](CoverIndex& built) {
    std::vector<uint32_t> starts;
    starts.reserve(items_.size());
    for (const Tmethod& m : items_) starts.push_back(m.StartAddress);
    built.buildFromStarts(starts);
  });
  return index.find(offset);
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
  edits_.note();
  items_.push_back(line);
}

void TLines::clear() {
  edits_.note();
  items_.clear();
}

int32_t TLines::indexOfAddress(uint32_t offset) const {
  const CoverIndex& index = index_.get(edits_.count(), [this](CoverIndex& built) {
    std::vector<uint32_t> starts;
    starts.reserve(items_.size());
    for (const TLine& l : items_) starts.push_back(l.Address);
    built.buildFromStarts(starts);
  });
  return index.find(offset);
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

TLineTables::TLineTables(const TLineTables& other) : items_(other.items_), byName_(other.byName_) {
  adoptTables();
}

TLineTables::TLineTables(TLineTables&& other)
    : items_(std::move(other.items_)),
      byName_(std::move(other.byName_)),
      edits_(std::move(other.edits_)) {
  adoptTables();
}

TLineTables& TLineTables::operator=(const TLineTables& other) {
  if (this != &other) {
    items_ = other.items_;
    byName_ = other.byName_;
    adoptTables();
  }
  edits_ = other.edits_;
  return *this;
}

TLineTables& TLineTables::operator=(TLineTables&& other) {
  if (this != &other) {
    items_ = std::move(other.items_);
    byName_ = std::move(other.byName_);
    adoptTables();
    edits_ = std::move(other.edits_);
  }
  return *this;
}

void TLineTables::adoptTables() {
  for (auto& item : items_) item.second.edits_.setHolder(&edits_);
}

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
  items_.back().second.edits_.setHolder(&edits_);
  byName_.emplace(lowerText(name), index);  // keeps the first table of that name
  return index;
}

void TLineTables::clear() {
  edits_.note();
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
  MapTextCursor lines(MapText);
  return loadSegments(lines);
}

bool TMap::loadSegments(MapLineCursor& lines) {
  try {
    message("Loading units informations...\r\n");
    lines.rewind();
    while (!lines.atEnd() && !sameText(lines.line(), "Detailed map of segments")) lines.advance();
    int count = 0;
    std::string lastName;
    if (!lines.atEnd()) {
      lines.advance();
      while (lineAt(lines).empty()) lines.advance();
      for (;; lines.advance()) {
        std::string_view line = lineAt(lines);
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
  MapTextCursor lines(MapText);
  return loadLineNumbers(lines);
}

bool TMap::loadLineNumbers(MapLineCursor& cursor, PublicsSeen* publics) {
  std::optional<PublicsWatch> watch;
  if (publics) watch.emplace(cursor, publics->found, publics->mark, publics->rows);
  MapLineCursor& lines = publics ? static_cast<MapLineCursor&>(*watch) : cursor;
  int count = 0;
  std::string unitName;
  bool ok = true;
  try {
    message("Loading lines informations...\r\n");
    lines.rewind();
    for (;;) {
      // Header search.
      std::string_view name;
      while (!lines.atEnd()) {
        std::string_view line = lines.line();
        if (line.substr(0, 17) == "Line numbers for ") {
          name = unitNameFromHeader(line);
          if (!name.empty()) break;
        }
        lines.advance();
      }
      if (lines.atEnd()) break;
      unitName = std::string(name);
      TLines& table = lineTable(unitName);
      lines.advance();
      lines.advance();
      // Rows, up to the line that starts the next section or block.
      for (;; lines.advance()) {
        std::string_view line = lineAt(lines);
        // Each of the three holds an 'n', which rows of numbers lack: one search for it
        // spares most rows the three.
        if (line.find('n') != std::string_view::npos &&
            (line.find("Line numbers for") != std::string_view::npos ||
             line.find("Program entry point") != std::string_view::npos ||
             line.find("Bound resource files") != std::string_view::npos))
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
  MapTextCursor lines(MapText);
  return loadPublics(lines);
}

bool TMap::loadPublics(MapLineCursor& lines, const PublicsSeen* publics) {
  try {
    message("Loading methods informations...\r\n");
    if (publics && publics->found && lines.seek(publics->mark)) {
      Routines.reserve(Routines.size() + publics->rows);
    } else {
      lines.rewind();
      while (!lines.atEnd() && !isPublicsByValueHeader(lines.line())) lines.advance();
    }
    if (lines.atEnd()) return false;
    lines.advance();
    lines.advance();
    int count = 0;
    std::string lastName;
    std::string unmatched;
    bool anyUnmatched = false;
    int32_t lastUnit = -1;
    int32_t lastTable = -1;
    for (;; lines.advance()) {
      std::string_view line = lineAt(lines);
      if (trimText(line).empty()) break;
      size_t pos = 1;
      uint32_t offset = readSegmentOffset(nextToken(line, pos));
      std::string_view name = nextToken(line, pos);
      int32_t unitIndex = Units.indexOfAddress(offset);
      if (unitIndex >= 0) {
        // Publics come in runs of one unit: its table is looked up once per run. Only
        // this pass adds tables, so a unit's table stays the one found first.
        if (unitIndex != lastUnit) {
          lastUnit = unitIndex;
          lastTable = lineTableIndex(Units[static_cast<size_t>(unitIndex)].Name);
          Units.setLineTableIndex(static_cast<size_t>(unitIndex), lastTable);
        }
        const int32_t tableIndex = lastTable;
        Routines.add(Tmethod{unitIndex, tableIndex, std::string(name), offset});
        ++count;
        if (count % 100 == 0 && OnRoutinesProgress) OnRoutinesProgress(std::string(name), count);
        lastName.assign(name);  // reuses its buffer: no allocation per public
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
  MapTextCursor lines(MapText);
  return parse(lines);
}

bool TMap::loadAndParse(const std::string& path) {
  Loaded = false;
  try {
    MapText.clear();
    MapFileCursor lines;
    if (!lines.open(path)) return false;
    MapFileName = path;
    Loaded = true;
    return parse(lines);
  } catch (...) {
    return false;
  }
}

bool TMap::parse(MapLineCursor& lines) {
  bool ok = false;
  uint64_t started = 0;
  try {
    message("Loading Map file...\r\n");
    started = mapFeedback().nowMilliseconds();
  } catch (...) {
  }
  PublicsSeen publics;
  ok = loadSegments(lines) && loadLineNumbers(lines, &publics) && loadPublics(lines, &publics);
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

void TMap::clearTables() {
  Units.clear();
  Routines.clear();
  LineTables.clear();
}

uint64_t TMap::editCount() const {
  return Units.editCount() + Routines.editCount() + LineTables.editCount();
}

void TMap::buildAddressTable(AddressTable& table) const {
  using Slot = AddressTable::Slot;
  table.clear();  // hands the old table's memory back before the new one is built
  if (Units.size() >= AddressTable::kNoUnit || Routines.size() >= AddressTable::kNoRoutine)
    throw std::length_error("map: too many entries for the address table");

  // The table each unit entry takes its lines from (-1: its name has none yet).
  std::vector<int32_t> tableOf(Units.size());
  std::vector<uint8_t> used(LineTables.size(), 0);
  size_t lineCount = 0;
  for (size_t u = 0; u < Units.size(); ++u) {
    const int32_t t = LineTables.indexOf(Units[u].Name);
    tableOf[u] = t;
    if (t >= 0 && !used[static_cast<size_t>(t)]) {
      used[static_cast<size_t>(t)] = 1;
      lineCount += LineTables.lines(static_cast<size_t>(t)).size();
    }
  }

  // Every offset where some answer may change: unit bounds, routine starts and the line
  // entries of the tables in use. Between two of them every search answers the same.
  // Each kind is gathered and sorted on its own, then the three are merged: the routines
  // come sorted by segment and the lines mostly by address, so most of the sorting is
  // only a check.
  const auto sortPoints = [](std::vector<uint32_t>& v) {
    if (!std::is_sorted(v.begin(), v.end())) radixSort(v, [](uint32_t p) { return p; });
  };
  std::vector<uint32_t> bounds;
  bounds.reserve(1 + 2 * Units.size());
  bounds.push_back(0);
  for (const TUnit& u : Units) {
    if (u.EndAddress < u.StartAddress) continue;  // a wrapped length covers nothing
    bounds.push_back(u.StartAddress);
    if (u.EndAddress != 0xFFFFFFFFu) bounds.push_back(u.EndAddress + 1);
  }
  sortPoints(bounds);
  std::vector<uint32_t> points;
  {
    std::vector<uint32_t> starts;
    starts.reserve(Routines.size());
    for (const Tmethod& m : Routines) starts.push_back(m.StartAddress);
    sortPoints(starts);
    points.resize(bounds.size() + starts.size());
    std::merge(bounds.begin(), bounds.end(), starts.begin(), starts.end(), points.begin());
  }
  std::vector<uint32_t>().swap(bounds);
  {
    std::vector<uint32_t> lineStarts;
    lineStarts.reserve(lineCount);
    for (size_t t = 0; t < LineTables.size(); ++t)
      if (used[t])
        for (const TLine& l : LineTables.lines(t)) lineStarts.push_back(l.Address);
    sortPoints(lineStarts);
    std::vector<uint32_t> all(points.size() + lineStarts.size());
    std::merge(points.begin(), points.end(), lineStarts.begin(), lineStarts.end(), all.begin());
    points.swap(all);
  }
  points.erase(std::unique(points.begin(), points.end()), points.end());

  LastUnitSweep units(Units);
  FirstCoverSweep<RoutineStart> routines(Routines.size(), RoutineStart{&Routines});
  std::vector<FirstCoverSweep<LineAddress>> lines;
  lines.reserve(LineTables.size());
  for (size_t t = 0; t < LineTables.size(); ++t) {
    const TLines& table = LineTables.lines(t);
    lines.emplace_back(used[t] ? table.size() : 0, LineAddress{&table});
  }

  // The points are overwritten by the starts of the slots kept.
  std::vector<Slot> slots;
  slots.reserve(points.size());
  size_t kept = 0;
  // The fields are compared as plain words, before they are packed into a slot: reading
  // back a freshly packed bit field stalls.
  uint32_t lastUnit = 0, lastRoutine = 0, lastHasLine = 0;
  int32_t lastLineNumber = 0;
  for (const uint32_t p : points) {
    uint32_t unitField = AddressTable::kNoUnit;
    uint32_t routineField = AddressTable::kNoRoutine;
    uint32_t hasLine = 0;
    int32_t lineNumber = 0;
    const int32_t unit = units.at(p);
    if (unit >= 0) {
      unitField = static_cast<uint32_t>(unit);
      const int32_t routine = routines.at(p);
      if (routine >= 0) routineField = static_cast<uint32_t>(routine);
      const int32_t t = tableOf[static_cast<size_t>(unit)];
      const int32_t line = t < 0 ? -1 : lines[static_cast<size_t>(t)].at(p);
      if (line >= 0) {
        hasLine = 1;
        lineNumber =
            LineTables.lines(static_cast<size_t>(t))[static_cast<size_t>(line)].LineNumber;
      }
    }
    if (!slots.empty() && lastUnit == unitField && lastRoutine == routineField &&
        lastHasLine == hasLine && lastLineNumber == lineNumber)
      continue;
    lastUnit = unitField;
    lastRoutine = routineField;
    lastHasLine = hasLine;
    lastLineNumber = lineNumber;
    slots.push_back(Slot{unitField, hasLine, lineNumber, routineField});
    points[kept++] = p;
  }
  points.resize(kept);
  std::vector<std::string_view> unitNames;
  unitNames.reserve(Units.size());
  for (const TUnit& u : Units) unitNames.push_back(u.Name);
  table.assign(std::move(points), std::move(slots), unitNames);
}

const AddressTable* TMap::addressTable() const {
  const BuiltAddresses& built = addresses_.get(editCount(), [this](BuiltAddresses& b) {
    b.usable = false;
    try {
      buildAddressTable(b.table);
      b.usable = true;
    } catch (...) {
      b.table.clear();
    }
  });
  return built.usable ? &built.table : nullptr;
}

void TMap::lookupByTables(uint32_t offset, TCodeLocation& location) const {
  const int32_t unitIndex = Units.indexOfAddress(offset);
  if (unitIndex < 0) return;
  const Tmethod* routine = nullptr;
  if (offset >= Routines.MinAddress && offset <= Routines.MaxAddress)
    routine = Routines.findByAddress(offset);
  const std::string& unitName = Units[static_cast<size_t>(unitIndex)].Name;
  // A unit whose name has no line table has no lines.
  const int32_t t = LineTables.indexOf(unitName);
  const TLine* line =
      t < 0 ? nullptr : LineTables.lines(static_cast<size_t>(t)).findByAddress(offset);
  location.UnitName = unitName;
  location.RoutineName = routine ? routine->Name : std::string("-");
  location.LineText = line ? std::to_string(line->LineNumber) : std::string("-");
}

void TMap::lookup(uint32_t codeBase, uint32_t address, TCodeLocation& location) const {
  location.UnitName.clear();
  location.RoutineName.clear();
  location.LineText.clear();
  if (codeBase == 0) return;
  const uint32_t offset = address - codeBase;
  if (offset < Units.MinAddress || offset > Units.MaxAddress) return;
  const AddressTable* addresses = addressTable();
  if (addresses == nullptr) {
    lookupByTables(offset, location);
    return;
  }
  const AddressTable::Slot& slot = addresses->find(offset);
  if (slot.unit == AddressTable::kNoUnit) return;
  const bool hasRoutine = slot.routine != AddressTable::kNoRoutine &&
                          offset >= Routines.MinAddress && offset <= Routines.MaxAddress;
  // The routine entry is likely out of cache: fetch it while the other fields are filled.
  if (hasRoutine) __builtin_prefetch(&Routines[slot.routine]);
  location.UnitName.assign(addresses->unitName(slot.unit));
  if (slot.hasLine) {
    char digits[16];
    const auto end = std::to_chars(digits, digits + sizeof digits, slot.lineNumber).ptr;
    location.LineText.assign(digits, end);
  } else {
    location.LineText.assign(1, '-');
  }
  if (hasRoutine)
    location.RoutineName.assign(Routines[slot.routine].Name);
  else
    location.RoutineName.assign(1, '-');
}

void TMap::lookup(uint32_t address, TCodeLocation& location) const {
  lookup(CodeBase, address, location);
}

void TMap::lookupLinear(uint32_t codeBase, uint32_t address, TCodeLocation& location) const {
  location.UnitName.clear();
  location.RoutineName.clear();
  location.LineText.clear();
  if (codeBase == 0) return;
  const uint32_t offset = address - codeBase;
  std::string routine = "-";
  if (!(offset < Routines.MinAddress || offset > Routines.MaxAddress)) {
    int32_t r = Routines.indexOfAddressLinear(offset);
    if (r >= 0) routine = Routines[static_cast<size_t>(r)].Name;
  }
  if (offset < Units.MinAddress || offset > Units.MaxAddress) return;
  int32_t u = Units.indexOfAddressLinear(offset);
  if (u < 0) return;
  const std::string& unitName = Units[static_cast<size_t>(u)].Name;
  // A unit whose name has no line table has no lines.
  const int32_t t = LineTables.indexOfLinear(unitName);
  const TLines* lines = t < 0 ? nullptr : &LineTables.lines(static_cast<size_t>(t));
  const int32_t l = lines ? lines->indexOfAddressLinear(offset) : -1;
  location.UnitName = unitName;
  location.RoutineName = routine;
  location.LineText =
      l < 0 ? std::string("-") : std::to_string((*lines)[static_cast<size_t>(l)].LineNumber);
}

void TMap::lookupLinear(uint32_t address, TCodeLocation& location) const {
  lookupLinear(CodeBase, address, location);
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
  if (const TMap* map = globalMap()) map->lookup(codeBase, address, location);
  return location;
}

void TMap::releaseMap() { globalSlot().reset(); }

}  // namespace ostrel
