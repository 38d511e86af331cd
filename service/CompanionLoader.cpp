#include "service/CompanionLoader.h"

#include <algorithm>
#include <vector>

namespace kel {

#ifdef _WIN32

namespace {

std::string DirectoryOf(HMODULE module) {
  char path[MAX_PATH];
  const DWORD n = GetModuleFileNameA(module, path, MAX_PATH);
  if (n == 0 || n >= MAX_PATH) return {};
  std::string dir(path, n);
  const std::size_t slash = dir.find_last_of("\\/");
  return slash == std::string::npos ? std::string() : dir.substr(0, slash);
}

bool IsAbsolute(const std::string& dir) {
  return (dir.size() >= 3 && dir[1] == ':' && (dir[2] == '\\' || dir[2] == '/')) ||
         dir.rfind("\\\\", 0) == 0;
}

bool IsFile(const std::string& path) {
  const DWORD attributes = GetFileAttributesA(path.c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

// The system's search order for a library without the current directory:
// this module's directory, the program's, the system directories, PATH.
std::vector<std::string> SearchDirectories() {
  std::vector<std::string> dirs;
  HMODULE self = nullptr;
  if (GetModuleHandleExA(
          GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
          reinterpret_cast<LPCSTR>(&LoadCompanion), &self))
    dirs.push_back(DirectoryOf(self));
  dirs.push_back(DirectoryOf(nullptr));
  char buffer[MAX_PATH];
  UINT n = GetSystemDirectoryA(buffer, MAX_PATH);
  if (n > 0 && n < MAX_PATH) dirs.emplace_back(buffer, n);
  n = GetWindowsDirectoryA(buffer, MAX_PATH);
  if (n > 0 && n < MAX_PATH) dirs.emplace_back(buffer, n);
  const DWORD size = GetEnvironmentVariableA("PATH", nullptr, 0);
  if (size > 0) {
    std::string path(size, '\0');
    path.resize(GetEnvironmentVariableA("PATH", path.data(), size));
    std::size_t start = 0;
    while (start <= path.size()) {
      const std::size_t end = std::min(path.find(';', start), path.size());
      std::string dir = path.substr(start, end - start);
      // Relative entries would name the current directory again.
      if (IsAbsolute(dir)) dirs.push_back(std::move(dir));
      start = end + 1;
    }
  }
  return dirs;
}

}  // namespace

HMODULE LoadCompanion(const std::string& name) {
  if (name.find_first_of("\\/") != std::string::npos) return LoadLibraryA(name.c_str());
  for (const std::string& dir : SearchDirectories()) {
    if (dir.empty()) continue;
    const std::string path = dir + "\\" + name;
    if (IsFile(path)) return LoadLibraryExA(path.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
  }
  return nullptr;
}

#else

// Here the platform layer looks in the program's directory and along the
// loader's path, never in the current directory.
HMODULE LoadCompanion(const std::string& name) {
  return LoadLibraryA(name.c_str());
}

#endif

}  // namespace kel
