#include "sized_file.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <unistd.h>

#include <fstream>
#endif

namespace ostrel::test {

bool makeSizedFile(const std::string& path, int64_t size) {
#ifdef _WIN32
  HANDLE file = CreateFileA(path.c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  LARGE_INTEGER end;
  end.QuadPart = size;
  const bool sized = SetFilePointerEx(file, end, nullptr, FILE_BEGIN) && SetEndOfFile(file);
  CloseHandle(file);
  return sized;
#else
  std::ofstream(path, std::ios::binary).flush();
  return ::truncate(path.c_str(), static_cast<off_t>(size)) == 0;
#endif
}

}  // namespace ostrel::test
