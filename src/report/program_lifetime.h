// The program's start-up and shutdown, shared by the console and the window: the order in
// which the engine and the exception package come up and go down.
#pragma once

#include <functional>
#include <string>

#include "excpack/exc_pkg_system.h"
#include "platform/debug_platform.h"
#include "platform/main_thread_sync.h"

namespace ostrel::report {

/// The exception package's start-up for the life of the object: the system seam, the class
/// registry with the program-wide version reader, and the second reader with the program's
/// own version block. Shut down and the seam put back when it goes.
class PackageLifetime {
 public:
  explicit PackageLifetime(excpack::ExcPkgSystem& system);
  ~PackageLifetime();
  PackageLifetime(const PackageLifetime&) = delete;
  PackageLifetime& operator=(const PackageLifetime&) = delete;
};

/// The whole program's start-up, in order: the engine (its lists, the detach call, the
/// platform and hand-off of its sessions), then the exception package. The destructor is
/// the shutdown, run once the front end has closed: the map is released, every session is
/// ended (muted, the waits serving the hand-off), the balance warnings go to warning, and
/// the package goes last, since a session may store a log until it has ended.
class ProgramLifetime {
 public:
  using WarningSink = std::function<void(const std::string&)>;
  ProgramLifetime(DebugPlatform& platform, MainThreadSync& sync, excpack::ExcPkgSystem& system,
                  WarningSink warning);
  ~ProgramLifetime();
  ProgramLifetime(const ProgramLifetime&) = delete;
  ProgramLifetime& operator=(const ProgramLifetime&) = delete;

 private:
  WarningSink warning_;
};

}  // namespace ostrel::report
