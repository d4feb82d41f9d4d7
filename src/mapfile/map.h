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
#include "mapfile/lazy_built.h"
#include "mapfile/map_text.h"

namespace ostrel {

/// Counts the edits of one table, so that what is built from it (its index, its map's
/// address table) can tell whether it is still current. Assigning a table or moving one
/// out is an edit; creating or copying one is not. A table held by another (a line table
/// of TLineTables) also counts its edits in its holder.
class TableEdits {
 public:
  TableEdits() = default;
  TableEdits(const TableEdits&) noexcept {}
  TableEdits(TableEdits&& other) noexcept { other.note(); }
  TableEdits& operator=(const TableEdits&) noexcept {
    note();
    return *this;
  }
  TableEdits& operator=(TableEdits&& other) noexcept {
    note();
    other.note();
    return *this;
  }
  void note() noexcept {
    for (TableEdits* e = this; e != nullptr; e = e->holder_) ++e->count_;
  }
  uint64_t count() const noexcept { return count_; }
  void setHolder(TableEdits* holder) noexcept { holder_ = holder; }

 private:
  uint64_t count_ = 0;
  TableEdits* holder_ = nullptr;
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
  /// Edits so far (adds, clears, assignments).
  uint64_t editCount() const { return edits_.count(); }

 private:
  std::vector<TUnit> items_;
  TableEdits edits_;
  LazyBuilt<CoverIndex> index_;
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
  /// Room for n entries in all; not an edit.
  void reserve(size_t n) { items_.reserve(n); }
  size_t size() const { return items_.size(); }
  bool empty() const { return items_.empty(); }
  const Tmethod& operator[](size_t i) const { return items_[i]; }
  std::vector<Tmethod>::const_iterator begin() const { return items_.begin(); }
  std::vector<Tmethod>::const_iterator end() const { return items_.end(); }

  int32_t indexOfAddress(uint32_t offset) const;
  const Tmethod* findByAddress(uint32_t offset) const;
  int32_t indexOfAddressLinear(uint32_t offset) const;
  /// Edits so far (adds, clears, assignments).
  uint64_t editCount() const { return edits_.count(); }

 private:
  std::vector<Tmethod> items_;
  TableEdits edits_;
  LazyBuilt<CoverIndex> index_;
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
  /// Edits so far (adds, clears, assignments).
  uint64_t editCount() const { return edits_.count(); }

 private:
  friend class TLineTables;  // counts the edits of its tables in its own

  std::vector<TLine> items_;
  TableEdits edits_;
  LazyBuilt<CoverIndex> index_;
};

/// (name, TLines) pairs in insertion order; names compared without regard to ASCII case.
class TLineTables {
 public:
  TLineTables() = default;
  // The tables held report their edits here, so copies and moves rebind them.
  TLineTables(const TLineTables& other);
  TLineTables(TLineTables&& other);
  TLineTables& operator=(const TLineTables& other);
  TLineTables& operator=(TLineTables&& other);

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
  /// Edits so far of the list and of the tables in it.
  uint64_t editCount() const { return edits_.count(); }

 private:
  void adoptTables();

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
  /// Opens the file and parses it as parse() does, reading it in blocks, once per pass,
  /// without keeping its text: MapText is left empty. Sets MapFileName and Loaded as
  /// loadMapFile() does (Loaded: the file opened). True when all three passes succeeded.
  bool loadAndParse(const std::string& path);
  /// parse() under the hourglass, with the error box on failure; false without a word
  /// when no text was read.
  bool loadSymbols();

  /// The table stored under the name (letter case ignored), appended empty when missing.
  TLines& lineTable(std::string_view unitName);
  /// Fills `location` for the run-time address (offset = address - codeBase); a code base
  /// of 0 resolves nothing. Writes nothing in the map: several threads may look up in one
  /// map at once, as long as nobody edits it meanwhile.
  void lookup(uint32_t codeBase, uint32_t address, TCodeLocation& location) const;
  /// lookup() with the CodeBase field.
  void lookup(uint32_t address, TCodeLocation& location) const;
  /// The same answers by plain scans of every table: the reference of lookup().
  void lookupLinear(uint32_t codeBase, uint32_t address, TCodeLocation& location) const;
  void lookupLinear(uint32_t address, TCodeLocation& location) const;
  /// Edits of this map's tables so far; the address table is rebuilt when it changes.
  uint64_t editCount() const;

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
  struct BuiltAddresses {
    AddressTable table;
    bool usable = false;  // false when building failed: lookups then search each table
  };

  /// Where the line pass, which passes every line, saw the publics: the publics pass then
  /// need not read the text before them again, nor grow the routine list as it goes.
  struct PublicsSeen {
    bool found = false;
    uint64_t mark = 0;  // the first "Publics by Value" header, as the cursor marks it
    size_t rows = 0;    // the rows from its third line on, up to the first blank one
  };

  bool parse(MapLineCursor& lines);
  bool loadSegments(MapLineCursor& lines);
  bool loadLineNumbers(MapLineCursor& lines, PublicsSeen* publics = nullptr);
  bool loadPublics(MapLineCursor& lines, const PublicsSeen* publics = nullptr);
  void message(const std::string& text);
  int32_t lineTableIndex(std::string_view unitName);
  /// The address table of the current tables, built on first need; nullptr when it
  /// cannot be built (until the next edit).
  const AddressTable* addressTable() const;
  void buildAddressTable(AddressTable& table) const;
  /// The lookup through the separate table indexes, when the address table cannot be built.
  void lookupByTables(uint32_t offset, TCodeLocation& location) const;

  LazyBuilt<BuiltAddresses> addresses_;
};

/// The process-wide map; nullptr until the first loadMapFor().
TMap* globalMap();

}  // namespace ostrel
