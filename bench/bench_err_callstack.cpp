// Call stack access of a crafted log: an error part whose container comes after many other
// children, and a container of many entries. Prints the time of reading the package and of
// walking its call stack by index, for growing sizes; the walk should grow like the read.
//   bench_err_callstack [LARGEST_N]
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "excpack/global_exc_pkg_types.h"

namespace {

using Clock = std::chrono::steady_clock;

double secondsSince(Clock::time_point t) {
  return std::chrono::duration<double>(Clock::now() - t).count();
}

// n environment parts before the container, then n items.
std::string craftedText(int n) {
  std::string text = "object TErrorInfo\r\n";
  for (int i = 0; i < n; ++i) text += "  object TEnvInfo\r\n  end\r\n";
  text += "  object TCallStackItems\r\n";
  for (int i = 0; i < n; ++i)
    text += "    object TCallStackItem\r\n      OperationPoint = " + std::to_string(i) +
            "\r\n    end\r\n";
  return text + "  end\r\nend\r\n";
}

}  // namespace

int main(int argc, char** argv) {
  using namespace ostrel::excpack;
  const int largest = argc > 1 ? std::atoi(argv[1]) : 200000;
  ExcPkgStartup();
  std::printf("%10s %12s %12s %10s\n", "n", "read s", "walk s", "walk/read");
  for (int n = largest / 100; n > 0 && n <= largest; n *= 10) {
    const std::string text = craftedText(n);
    auto t = Clock::now();
    auto component = StringToComponent(text);
    const double read = secondsSince(t);
    auto* error = dynamic_cast<TErrorInfo*>(component.get());
    if (error == nullptr) return 1;
    t = Clock::now();
    uint64_t sum = 0;
    for (int i = 0; i < error->CallStackCount(); ++i)
      if (const TCallStackItem* item = error->CallStackItem(i)) sum += item->OperationPoint;
    const double walk = secondsSince(t);
    if (sum != uint64_t(n) * uint64_t(n - 1) / 2) return 1;
    std::printf("%10d %12.6f %12.6f %10.4f\n", n, read, walk, walk / read);
  }
  ExcPkgShutdown();
  return 0;
}
