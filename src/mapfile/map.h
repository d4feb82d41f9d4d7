// TMap: the units, routines and line numbers of a Delphi linker map, and the lookup of a
// code address by unit, routine and source line.
#pragma once

#include <cstdint>
#include <deque>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

#include "mapfile/address_table.h"
#include "mapfile/cover_index.h"
#include "mapfile/map_text.h"

namespace ostrel {

/// A process-wide count of edits to any map table, so that a search table built from them
/// can tell whether it is still current. Assigning one table over another is an edit;
/// creating or copying one is not.
class TableEdits {
 public:
  TableEdits() = default;
  TableEdits(const TableEdits&) noexcept {}
  TableEdits& operator=(const TableEdits&) noexcept {
    note();
    return *this;
  }
  static void note() noexcept;
  static uint64_t count() noexcept;
};

/// One line of the detailed segment map.
struct TUnit {
  uint32_t StartAddress = 0;
  uint32_t EndAddress = 0;  // inclusive; start + length, wrapping
  std::string GroupName;
  std::string Name;
  int32_t Acbp = 0;
  int32_t LineTableIndex = -1;
};

/// Segment entries in file order. Searches give the answer of a scan from the last entry
/// to the first: the last entry whose inclusive range holds the offset.
class TUnits {
 public:
  uint32_t MaxAddress = 0;  // highest EndAddress
  uint32_t MinAddress = 0;  // lowest StartAddress

  void add(TUnit unit);
  void clear();
  size_t size() const { return items_.size(); }
  bool empty() const { return items_.empty(); }
  const TUnit& operator[](size_t i) const { return items_[i]; }
  void setLineTableIndex(size_t i, int32_t index) { items_[i].LineTableIndex = index; }
  std::vector<TUnit>::const_iterator begin() const { return items_.begin(); }
  std::vector<TUnit>::const_iterator end() const { return items_.end(); }

  /// Index of the covering entry, or -1.
  int32_t indexOfAddress(uint32_t offset) const;
  const TUnit* findByAddress(uint32_t offset) const;
  /// The plain scan, kept as the reference of the fast search.
  int32_t indexOfAddressLinear(uint32_t offset) const;

 private:
  std::vector<TUnit> items_;
  TableEdits edits_;
  mutable CoverIndex index_;
  mutable bool indexed_ = false;
};

/// One public symbol.
struct Tmethod {
  int32_t UnitIndex = -1;
  int32_t LineTableIndex = -1;
  std::string Name;
  uint32_t StartAddress = 0;
};

/// Publics in file order. Routine i covers [start i, start i+1); the first covering one
/// wins and the last routine covers nothing.
class Tmethods {
 public:
  uint32_t MaxAddress = 0;  // highest StartAddress
  uint32_t MinAddress = 0;  // lowest StartAddress

  void add(Tmethod method);
  void clear();
  size_t size() const { return items_.size(); }
  bool empty() const { return items_.empty(); }
  const Tmethod& operator[](size_t i) const { return items_[i]; }
  std::vector<Tmethod>::const_iterator begin() const { return items_.begin(); }
  std::vector<Tmethod>::const_iterator end() const { return items_.end(); }

  int32_t indexOfAddress(uint32_t offset) const;
  const Tmethod* findByAddress(uint32_t offset) const;
  int32_t indexOfAddressLinear(uint32_t offset) const;

 private:
  std::vector<Tmethod> items_;
  TableEdits edits_;
  mutable CoverIndex index_;
  mutable bool indexed_ = false;
};

struct TLine {
  int32_t LineNumber = 0;
  uint32_t Address = 0;
};

/// Line entries of one table in file order; same covering rule as Tmethods.
class TLines {
 public:
  void add(TLine line);
  void clear();
  size_t size() const { return items_.size(); }
  bool empty() const { return items_.empty(); }
  const TLine& operator[](size_t i) const { return items_[i]; }
  std::vector<TLine>::const_iterator begin() const { return items_.begin(); }
  std::vector<TLine>::const_iterator end() const { return items_.end(); }

  int32_t indexOfAddress(uint32_t offset) const;
  const TLine* findByAddress(uint32_t offset) const;
  int32_t indexOfAddressLinear(uint32_t offset) const;

 private:
  std::vector<TLine> items_;
  TableEdits edits_;
  mutable CoverIndex index_;
  mutable bool indexed_ = false;
};

/// (name, TLines) pairs in insertion order; names compared without regard to ASCII case.
class TLineTables {
 public:
  size_t size() const { return items_.size(); }
  const std::string& name(size_t i) const { return items_[i].first; }
  TLines& lines(size_t i) { return items_[i].second; }
  const TLines& lines(size_t i) const { return items_[i].second; }
  /// Index of the first table with that name, or -1.
  int32_t indexOf(std::string_view name) const;
  int32_t indexOfLinear(std::string_view name) const;
  /// Appends an empty table under the name and returns its index. Not an edit: a new
  /// empty table changes no lookup answer.
  int32_t add(std::string_view name);
  void clear();

 private:
  // A deque keeps references to tables valid while tables are appended.
  std::deque<std::pair<std::string, TLines>> items_;
  std::unordered_map<std::string, int32_t> byName_;  // lower-case name -> first index
  TableEdits edits_;
};

/// Where a code address lies. `Address` is the caller's; the lookup fills the rest.
struct TCodeLocation {
  std::string Address;
  std::string UnitName;
  std::string RoutineName;
  std::string LineText;
};

class TMap {
 public:
  using ProgressEvent = std::function<void(const std::string& text, int count)>;
  using MessageEvent = std::function<void(const std::string& text)>;

  uint32_t CodeBase = 0;
  bool Loaded = false;
  TMapText MapText;
  TUnits Units;
  TLineTables LineTables;
  Tmethods Routines;
  ProgressEvent OnLinesProgress;
  ProgressEvent OnRoutinesProgress;
  ProgressEvent OnUnitsProgress;
  std::string ProgramName;
  std::string MapFileName;
  MessageEvent OnMessage;

  /// An empty map; with a file name, loadMapFile() of it. Never throws.
  explicit TMap(const std::string& mapFileName = std::string());

  /// Reads the lines of an existing file into MapText; parses nothing. Loaded tells
  /// whether it was read.
  void loadMapFile(const std::string& path);
  /// The three passes in order, each only when the previous one succeeded; appends to the
  /// tables already there. True when all three succeeded.
  bool parse();
  bool loadSegments();
  bool loadLineNumbers();
  bool loadPublics();
  /// parse() under the hourglass, with the error box on failure; false without a word
  /// when no text was read.
  bool loadSymbols();

  /// The table stored under the name (letter case ignored), appended empty when missing.
  TLines& lineTable(std::string_view unitName);
  /// Fills `location` for the run-time address (offset = address - CodeBase).
  void lookup(uint32_t address, TCodeLocation& location);
  /// The same answers by plain scans of every table: the reference of lookup().
  void lookupLinear(uint32_t address, TCodeLocation& location);

  /// Empties the three tables (units, routines, line tables).
  void clearTables();

  /// Loads and parses the map beside the program into globalMap(). False when it is
  /// missing or does not parse, and after an earlier success (the map then stays).
  static bool loadMapFor(const std::string& programPath);
  /// globalMap()'s lookup with the given code base; empty fields when there is no map.
  static TCodeLocation addressInfo(uint32_t codeBase, uint32_t address);
  /// Destroys globalMap().
  static void releaseMap();

 private:
  void message(const std::string& text);
  int32_t lineTableIndex(std::string_view unitName);
  int32_t lineTableOfUnit(size_t unitIndex);
  /// True when addresses_ answers for the current tables, building it if needed.
  /// Any failure to build leaves it empty and answers false.
  bool addressTableReady();
  void buildAddressTable();
  /// The lookup through the separate table indexes, when addresses_ cannot be built.
  void lookupByTables(uint32_t offset, TCodeLocation& location);

  // Line table index per unit entry, resolved on first need (-1: not yet); reset with
  // addresses_, which every table edit makes stale.
  std::vector<int32_t> unitTables_;
  AddressTable addresses_;      // empty until built
  uint64_t addressesEdit_ = 0;  // TableEdits::count() when addresses_ was built
};

/// The process-wide map; nullptr until the first loadMapFor().
TMap* globalMap();

}  // namespace ostrel
