#include "report/program_lifetime.h"

#include "engine/debug_thread.h"
#include "excpack/global_exc_pkg_types.h"
#include "excpack/version_info.h"
#include "mapfile/map.h"

namespace ostrel::report {

namespace {

void packageStartup(excpack::ExcPkgSystem& system) {
  excpack::setExcPkgSystem(&system);
  excpack::ExcPkgStartup();
  excpack::loadAppVersionBlock();
}

void packageShutdown() {
  excpack::freeAppVersionBlock();
  excpack::ExcPkgShutdown();
  excpack::setExcPkgSystem(nullptr);
}

}  // namespace

PackageLifetime::PackageLifetime(excpack::ExcPkgSystem& system) { packageStartup(system); }

PackageLifetime::~PackageLifetime() { packageShutdown(); }

ProgramLifetime::ProgramLifetime(DebugPlatform& platform, MainThreadSync& sync,
                                 excpack::ExcPkgSystem& system, WarningSink warning)
    : warning_(std::move(warning)) {
  setEnginePlatform(&platform, &sync);
  engineStartup();
  packageStartup(system);
}

ProgramLifetime::~ProgramLifetime() {
  TMap::releaseMap();
  engineShutdown(warning_);
  packageShutdown();
  setEnginePlatform(nullptr, nullptr);
}

}  // namespace ostrel::report
