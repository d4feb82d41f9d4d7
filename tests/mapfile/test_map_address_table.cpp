#include <gtest/gtest.h>

#include <algorithm>
#include <functional>
#include <random>
#include <stdexcept>

#include "mapfile/address_table.h"
#include "mapfile/map.h"

namespace ostrel {
namespace {

using Slot = AddressTable::Slot;

Slot slotOfUnit(uint32_t unit) { return Slot{unit, 0, 0, AddressTable::kNoRoutine}; }

TEST(AddressTable, RefusesStartsThatDoNotAscendFromZero) {
  AddressTable t;
  EXPECT_THROW(t.assign({}, {}), std::invalid_argument);
  EXPECT_THROW(t.assign({1}, {slotOfUnit(0)}), std::invalid_argument);
  EXPECT_THROW(t.assign({0, 5, 5}, {slotOfUnit(0), slotOfUnit(1), slotOfUnit(2)}),
               std::invalid_argument);
  EXPECT_THROW(t.assign({0, 5}, {slotOfUnit(0)}), std::invalid_argument);
  EXPECT_TRUE(t.empty());
}

TEST(AddressTable, OneSlotHoldsEveryOffset) {
  AddressTable t;
  t.assign({0}, {slotOfUnit(2)}, {"System", "", "Unit1"});
  for (uint32_t x : {0u, 1u, 0x80000000u, 0xFFFFFFFFu}) EXPECT_EQ(t.find(x).unit, 2u) << x;
  EXPECT_EQ(t.unitName(0), "System");
  EXPECT_EQ(t.unitName(1), "");
  EXPECT_EQ(t.unitName(2), "Unit1");
}

// Sparse, clustered and top-of-range starts, against a plain search of the starts.
TEST(AddressTable, FindsTheLastStartAtOrBelowAnyOffset) {
  std::mt19937 rng(4242);
  for (int round = 0; round < 60; ++round) {
    std::vector<uint32_t> starts = {0};
    const int n = static_cast<int>(rng() % 200);
    for (int i = 0; i < n; ++i) {
      switch (rng() % 4) {
        case 0:
          starts.push_back(static_cast<uint32_t>(rng()));
          break;  // anywhere
        case 1:
          starts.push_back(0x1000 + rng() % 64);
          break;  // one cluster
        case 2:
          starts.push_back(0xFFFFFFFFu - rng() % 16);
          break;  // the top
        default:
          starts.push_back(static_cast<uint32_t>(round) * 0x01000000u + rng() % 0x100000);
      }
    }
    std::sort(starts.begin(), starts.end());
    starts.erase(std::unique(starts.begin(), starts.end()), starts.end());
    std::vector<Slot> slots;
    for (size_t i = 0; i < starts.size(); ++i)
      slots.push_back(slotOfUnit(static_cast<uint32_t>(i)));
    AddressTable t;
    t.assign(starts, slots);

    std::vector<uint32_t> probes = {0, 1, 0xFFFFFFFFu, 0x7FFFFFFFu};
    for (uint32_t s : starts) probes.insert(probes.end(), {s - 1, s, s + 1});
    for (int i = 0; i < 200; ++i) probes.push_back(static_cast<uint32_t>(rng()));
    for (uint32_t x : probes) {
      const size_t expected =
          static_cast<size_t>(std::upper_bound(starts.begin(), starts.end(), x) - starts.begin()) -
          1;
      ASSERT_EQ(t.find(x).unit, expected) << "round " << round << " offset " << std::hex << x;
    }
  }
}

TEST(AddressTable, ACopyStartsEmpty) {
  AddressTable t;
  t.assign({0, 10}, {slotOfUnit(1), slotOfUnit(2)});
  AddressTable copy(t);
  EXPECT_TRUE(copy.empty());
  copy = t;
  EXPECT_TRUE(copy.empty());
  EXPECT_EQ(t.size(), 2u);
}

// ---- the map's lookup over hand-made tables ----

struct Answer {
  std::string unit, routine, line;
  bool operator==(const Answer&) const = default;
};

std::ostream& operator<<(std::ostream& os, const Answer& a) {
  return os << "[" << a.unit << "|" << a.routine << "|" << a.line << "]";
}

Answer fastAt(TMap& map, uint32_t offset) {
  TCodeLocation l;
  map.lookup(map.CodeBase + offset, l);
  return {l.UnitName, l.RoutineName, l.LineText};
}

Answer linearAt(TMap& map, uint32_t offset) {
  TCodeLocation l;
  map.lookupLinear(map.CodeBase + offset, l);
  return {l.UnitName, l.RoutineName, l.LineText};
}

// Every offset of [from, from + count), wrapping past FFFFFFFF.
void expectAgreement(TMap& map, uint32_t from, uint32_t count) {
  for (uint32_t i = 0; i < count; ++i) {
    const uint32_t x = from + i;
    ASSERT_EQ(fastAt(map, x), linearAt(map, x)) << "offset " << std::hex << x;
  }
}

TUnit unit(uint32_t start, uint32_t end, const char* name) {
  return TUnit{start, end, "", name, 0, -1};
}
Tmethod routine(uint32_t start, const char* name) { return Tmethod{0, -1, name, start}; }

class HandMadeMap : public ::testing::Test {
 protected:
  void SetUp() override { map.CodeBase = 0x1000; }
  TMap map;
};

TEST_F(HandMadeMap, EmptyTablesGiveEmptyFieldsOrDashes) {
  EXPECT_EQ(fastAt(map, 0), Answer{});
  map.Routines.add(routine(0x10, "R1"));
  map.Routines.add(routine(0x20, "R2"));
  EXPECT_EQ(fastAt(map, 0x15), Answer{});  // no unit: nothing, whatever the routine
  map.Units.add(unit(0x10, 0x40, "U"));
  EXPECT_EQ(map.LineTables.indexOf("U"), -1);
  EXPECT_EQ(fastAt(map, 0x15), (Answer{"U", "R1", "-"}));
  EXPECT_EQ(fastAt(map, 0x25), (Answer{"U", "-", "-"}));  // the last routine covers nothing
  EXPECT_EQ(map.LineTables.size(), 0u);                   // the lookups appended no table for U
  expectAgreement(map, 0, 0x50);
}

TEST_F(HandMadeMap, OverlapsAndDuplicateRangesGoToTheLaterEntry) {
  map.Units.add(unit(0x00, 0xFF, "Outer"));
  map.Units.add(unit(0x40, 0x4F, "Inner"));
  map.Units.add(unit(0x40, 0x4F, "Twin"));   // same range, later: wins
  map.Units.add(unit(0x80, 0x7F, "Empty"));  // wrapped length: covers nothing
  map.Units.add(unit(0x4F, 0x60, "Tail"));
  EXPECT_EQ(fastAt(map, 0x3F).unit, "Outer");
  EXPECT_EQ(fastAt(map, 0x40).unit, "Twin");
  EXPECT_EQ(fastAt(map, 0x4F).unit, "Tail");
  EXPECT_EQ(fastAt(map, 0x60).unit, "Tail");  // inclusive end
  EXPECT_EQ(fastAt(map, 0x61).unit, "Outer");
  EXPECT_EQ(fastAt(map, 0x80).unit, "Outer");
  expectAgreement(map, 0, 0x110);
}

TEST_F(HandMadeMap, DuplicateAndUnsortedStartsKeepTheFirstCoveringEntry) {
  map.Units.add(unit(0, 0x200, "U"));
  // Two ascending runs, as with code publics followed by data publics, and a duplicate.
  for (auto [s, n] : {std::pair{0x10u, "A"},
                      {0x20u, "B"},
                      {0x20u, "C"},
                      {0x80u, "D"},
                      {0x08u, "E"},
                      {0x30u, "F"},
                      {0x90u, "G"}})
    map.Routines.add(routine(s, n));
  TLines& lines = map.lineTable("u");  // names match without regard to case
  for (auto [n, a] : {std::pair{1, 0x40u}, {2, 0x50u}, {3, 0x10u}, {4, 0x48u}, {5, 0x18u}})
    lines.add(TLine{n, a});
  EXPECT_EQ(fastAt(map, 0x20).routine, "C");  // B's successor starts at the same offset
  EXPECT_EQ(fastAt(map, 0x10).routine, "A");  // E covers it too, but A comes first
  EXPECT_EQ(fastAt(map, 0x08).routine, "E");
  EXPECT_EQ(fastAt(map, 0x85).routine, "F");  // D's successor starts lower: D covers nothing
  EXPECT_EQ(fastAt(map, 0x90).routine, "-");  // the last routine
  EXPECT_EQ(fastAt(map, 0x4C).line, "1");     // entry 3 covers it too, but 1 comes first
  EXPECT_EQ(fastAt(map, 0x14).line, "3");
  EXPECT_EQ(fastAt(map, 0x50).line, "-");  // 2 to 3 runs backwards; 4 covers nothing
  expectAgreement(map, 0, 0x210);
}

TEST_F(HandMadeMap, OffsetsAtTheTopOfTheRangeAndWrappedAddresses) {
  map.Units.add(unit(0xFFFFFF00u, 0xFFFFFFFFu, "Top"));
  map.Routines.add(routine(0xFFFFFF10u, "R"));
  map.Routines.add(routine(0xFFFFFFF0u, "S"));
  map.lineTable("Top").add(TLine{9, 0xFFFFFF00u});
  map.lineTable("Top").add(TLine{10, 0xFFFFFFFFu});
  EXPECT_EQ(fastAt(map, 0xFFFFFFFFu), (Answer{"Top", "-", "-"}));
  EXPECT_EQ(fastAt(map, 0xFFFFFFFEu), (Answer{"Top", "-", "9"}));
  EXPECT_EQ(fastAt(map, 0xFFFFFF20u), (Answer{"Top", "R", "9"}));
  // An address below the code base wraps to the top of the range.
  TCodeLocation l;
  map.lookup(0x0FFF, l);
  EXPECT_EQ(l.UnitName, "Top");
  expectAgreement(map, 0xFFFFFE00u, 0x300);
}

TEST_F(HandMadeMap, EditsAfterALookupAreSeen) {
  map.Units.add(unit(0, 0xFF, "U"));
  map.Routines.add(routine(0, "R"));
  map.Routines.add(routine(0x80, "S"));
  EXPECT_EQ(fastAt(map, 0x10), (Answer{"U", "R", "-"}));
  // Lines added to a table created after the lookup.
  map.lineTable("U").add(TLine{1, 0});
  map.lineTable("U").add(TLine{2, 0x20});
  EXPECT_EQ(fastAt(map, 0x10), (Answer{"U", "R", "1"}));
  map.Units.add(unit(0x08, 0x0F, "V"));
  EXPECT_EQ(fastAt(map, 0x0A), (Answer{"V", "R", "-"}));
  map.Routines.add(routine(0x100, "T"));
  EXPECT_EQ(fastAt(map, 0x90).routine, "S");
  Tmethods other;
  other.add(routine(0, "X"));
  other.add(routine(0xFF, "Y"));
  map.Routines = other;
  EXPECT_EQ(fastAt(map, 0x90).routine, "X");
  map.LineTables.clear();
  EXPECT_EQ(fastAt(map, 0x10), (Answer{"U", "X", "-"}));
  map.clearTables();
  EXPECT_EQ(fastAt(map, 0x10), Answer{});
}

TEST_F(HandMadeMap, CopiesAnswerFromTheirOwnTables) {
  map.Units.add(unit(0, 0xFF, "U"));
  map.Routines.add(routine(0, "Original"));
  map.Routines.add(routine(0x80, "End"));
  EXPECT_EQ(fastAt(map, 0x10).routine, "Original");
  TMap copy(map);
  {
    TMap doomed(map);
    EXPECT_EQ(fastAt(doomed, 0x10).routine, "Original");
    copy = doomed;
  }  // the tables the copy was assigned from are gone
  map.Routines.clear();
  EXPECT_EQ(fastAt(copy, 0x10).routine, "Original");
  TMap moved(std::move(copy));
  EXPECT_EQ(fastAt(moved, 0x10).routine, "Original");
  EXPECT_EQ(fastAt(map, 0x10).routine, "-");
}

// Each map counts its own edits: edits of one map leave another's address table alone,
// and every kind of edit of a map's own tables shows in its next answer.
TEST(MapEditCount, EditsRefreshTheirOwnMapOnly) {
  auto fill = [](TMap& m) {
    m.CodeBase = 0x1000;
    m.Units.add(unit(0, 0xFF, "U"));
    m.Routines.add(routine(0, "R"));
    m.Routines.add(routine(0x80, "S"));
    m.lineTable("U").add(TLine{1, 0});
    m.lineTable("U").add(TLine{2, 0x40});
    m.lineTable("U").add(TLine{5, 0xA0});
  };
  TMap a, b;
  fill(a);
  fill(b);
  TLines& heldLines = a.LineTables.lines(0);  // kept across lookups and edits
  EXPECT_EQ(fastAt(a, 0x50), (Answer{"U", "R", "2"}));
  EXPECT_EQ(fastAt(b, 0x50), (Answer{"U", "R", "2"}));

  const uint64_t aEdits = a.editCount();
  b.Units.add(unit(0x40, 0x5F, "V"));
  b.Routines.add(routine(0x48, "T"));
  b.LineTables.lines(0).add(TLine{3, 0x48});
  b.Routines = Tmethods();
  b.clearTables();
  EXPECT_EQ(a.editCount(), aEdits);
  EXPECT_EQ(fastAt(a, 0x50), (Answer{"U", "R", "2"}));

  const uint64_t bEdits = b.editCount();
  struct Step {
    const char* edit;
    std::function<void()> apply;
    uint32_t offset;
    Answer expected;
  };
  const std::vector<Step> steps = {
      {"add through a held table",
       [&] {
         heldLines.add(TLine{3, 0xC0});
       },
       0xB0,
       {"U", "-", "5"}},
      {"add through lines(i)",
       [&] {
         a.LineTables.lines(0).add(TLine{4, 0xD0});
       },
       0xC8,
       {"U", "-", "3"}},
      {"add a routine", [&] { a.Routines.add(routine(0x90, "T")); }, 0x85, {"U", "S", "2"}},
      {"add a unit", [&] { a.Units.add(unit(0x40, 0x5F, "V")); }, 0x50, {"V", "R", "-"}},
      {"lines of a new table",
       [&] {
         a.lineTable("V").add(TLine{7, 0x40});
         a.lineTable("V").add(TLine{8, 0x58});
       },
       0x50,
       {"V", "R", "7"}},
      {"assign the routines",
       [&] {
         Tmethods other;
         other.add(routine(0, "X"));
         other.add(routine(0xFF, "Y"));
         a.Routines = other;
       },
       0x50,
       {"V", "X", "7"}},
      {"assign a line table",
       [&] {
         TLines other;
         other.add(TLine{20, 0});
         other.add(TLine{21, 0xFF});
         a.LineTables.lines(1) = other;
       },
       0x50,
       {"V", "X", "20"}},
      // The names a stale address table would point at are gone with the moved-to table.
      {"move the routines out",
       [&] { Tmethods taken = std::move(a.Routines); },
       0x50,
       {"V", "-", "20"}},
      {"clear the line tables", [&] { a.LineTables.clear(); }, 0x50, {"V", "-", "-"}},
      {"clear every table", [&] { a.clearTables(); }, 0x50, {}},
  };
  for (const Step& step : steps) {
    const uint64_t before = a.editCount();
    EXPECT_NE(fastAt(a, step.offset), step.expected) << "before: " << step.edit;
    step.apply();
    EXPECT_GT(a.editCount(), before) << step.edit;
    EXPECT_EQ(fastAt(a, step.offset), step.expected) << step.edit;
    EXPECT_EQ(linearAt(a, step.offset), step.expected) << step.edit;
  }
  EXPECT_EQ(b.editCount(), bEdits);
}

// Random tables near both ends of the range, with edits between rounds of lookups.
TEST(MapAddressTableProperty, AgreesWithTheScansThroughEdits) {
  std::mt19937 rng(31337);
  const char* names[] = {"A", "a", "B", "C", "Dd"};
  for (int round = 0; round < 150; ++round) {
    TMap map;
    map.CodeBase = round % 3 == 0 ? 0x10 : 0x401000;
    const uint32_t base = round % 4 == 0 ? 0xFFFFFF80u : 0;
    auto at = [&](uint32_t span) { return base + static_cast<uint32_t>(rng() % span); };
    for (int step = 0; step < 4; ++step) {
      for (int i = 0, n = static_cast<int>(rng() % 5); i < n; ++i) {
        const uint32_t s = at(0x80);
        map.Units.add(unit(s, s + static_cast<uint32_t>(rng() % 0x40) - 4, names[rng() % 5]));
      }
      for (int i = 0, n = static_cast<int>(rng() % 12); i < n; ++i)
        map.Routines.add(routine(at(0x90), "r"));
      for (int i = 0, n = static_cast<int>(rng() % 12); i < n; ++i)
        map.lineTable(names[rng() % 5]).add(TLine{static_cast<int32_t>(rng() % 100), at(0x90)});
      if (rng() % 8 == 0) map.LineTables.clear();
      expectAgreement(map, base - 4, 0xA0);
    }
  }
}

}  // namespace
}  // namespace ostrel
