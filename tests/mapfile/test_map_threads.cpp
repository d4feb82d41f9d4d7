// Lookups from several threads in one map. The answers are checked here; the sharing of
// the lazily built search tables is for a build with the thread sanitizer to watch.
#include <gtest/gtest.h>

#include <atomic>
#include <random>
#include <string>
#include <thread>
#include <vector>

#include "mapfile/map.h"

namespace ostrel {
namespace {

constexpr uint32_t kCodeBase = 0x400000;

struct Expected {
  uint32_t offset;
  std::string unit, routine, line;
  int32_t unitIndex, routineIndex, lineIndex;  // of the plain scans; line: in the unit's table
};

std::vector<Expected> expectedAnswers(const TMap& map, std::mt19937& rng) {
  std::vector<Expected> answers;
  for (int i = 0; i < 3000; ++i) {
    const uint32_t offset = static_cast<uint32_t>(rng() % 0x29000);
    TCodeLocation l;
    map.lookupLinear(kCodeBase, kCodeBase + offset, l);
    const int32_t u = map.Units.indexOfAddressLinear(offset);
    const int32_t t =
        u < 0 ? -1 : map.LineTables.indexOfLinear(map.Units[static_cast<size_t>(u)].Name);
    const int32_t line =
        t < 0 ? -1 : map.LineTables.lines(static_cast<size_t>(t)).indexOfAddressLinear(offset);
    answers.push_back({offset, l.UnitName, l.RoutineName, l.LineText, u,
                       map.Routines.indexOfAddressLinear(offset), line});
  }
  return answers;
}

// Wrong answers of one thread, through the map's lookups and each table's own search.
size_t wrongAnswers(const TMap& map, const std::vector<Expected>& answers) {
  size_t wrong = 0;
  TCodeLocation l;
  for (const Expected& e : answers) {
    if (e.offset % 2)
      map.lookup(kCodeBase, kCodeBase + e.offset, l);
    else
      map.lookup(kCodeBase + e.offset, l);  // the CodeBase field
    wrong += l.UnitName != e.unit || l.RoutineName != e.routine || l.LineText != e.line;
    wrong += map.Units.indexOfAddress(e.offset) != e.unitIndex;
    wrong += map.Routines.indexOfAddress(e.offset) != e.routineIndex;
    if (e.unitIndex >= 0) {
      const int32_t t = map.LineTables.indexOf(map.Units[static_cast<size_t>(e.unitIndex)].Name);
      if (t >= 0)
        wrong +=
            map.LineTables.lines(static_cast<size_t>(t)).indexOfAddress(e.offset) != e.lineIndex;
    }
  }
  return wrong;
}

// Both threads start on a map whose search tables are stale, so that both race to build
// them; then the map is edited and they race again.
TEST(MapThreads, TwoThreadsLookUpInOneMapAtOnce) {
  std::mt19937 rng(2718);
  TMap map;
  map.CodeBase = kCodeBase;
  for (uint32_t i = 0; i < 400; ++i)
    map.Units.add(TUnit{i * 0x100, i * 0x100 + 0x17F, "", "U" + std::to_string(i % 50), 0, -1});
  for (int i = 0; i < 3000; ++i)
    map.Routines.add(
        Tmethod{0, -1, "R" + std::to_string(i), static_cast<uint32_t>(rng() % 0x28000)});
  for (int i = 0; i < 6000; ++i)
    map.lineTable("U" + std::to_string(rng() % 60))
        .add(TLine{i, static_cast<uint32_t>(rng() % 0x28000)});

  for (int round = 0; round < 2; ++round) {
    if (round > 0) {
      map.Units.add(TUnit{0x1000, 0x8000, "", "Late", 0, -1});
      map.lineTable("Late").add(TLine{1, 0x1000});
      map.lineTable("Late").add(TLine{2, 0x4000});
      map.Routines.add(Tmethod{0, -1, "Last", 0x28000});
      map.LineTables.lines(3).add(TLine{-1, 0x100});
    }
    const std::vector<Expected> answers = expectedAnswers(map, rng);
    const TMap& shared = map;  // the threads only read
    std::atomic<int> ready{0};
    size_t wrong[2] = {0, 0};
    std::vector<std::thread> threads;
    for (int k = 0; k < 2; ++k)
      threads.emplace_back([&, k] {
        ready.fetch_add(1);
        while (ready.load() < 2) std::this_thread::yield();
        wrong[k] = wrongAnswers(shared, answers);
      });
    for (std::thread& t : threads) t.join();
    EXPECT_EQ(wrong[0], 0u) << "round " << round;
    EXPECT_EQ(wrong[1], 0u) << "round " << round;
  }
}

}  // namespace
}  // namespace ostrel
