#include "mapfile/map_feedback.h"

#include <chrono>

namespace ostrel {

namespace {
TMapFeedback silentFeedback;
TMapFeedback* currentFeedback = nullptr;
}  // namespace

uint64_t TMapFeedback::nowMilliseconds() {
  using namespace std::chrono;
  return static_cast<uint64_t>(
      duration_cast<milliseconds>(steady_clock::now().time_since_epoch()).count());
}

void setMapFeedback(TMapFeedback* feedback) { currentFeedback = feedback; }

TMapFeedback& mapFeedback() { return currentFeedback ? *currentFeedback : silentFeedback; }

}  // namespace ostrel
