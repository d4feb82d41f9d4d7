// Large files for tests, made without writing their content.
#pragma once

#include <cstdint>
#include <string>

namespace ostrel::test {

/// Creates (or replaces) a file of the given size, sparse where the file system allows, so
/// that a test of a huge file neither writes it nor waits for it.
bool makeSizedFile(const std::string& path, int64_t size);

}  // namespace ostrel::test
