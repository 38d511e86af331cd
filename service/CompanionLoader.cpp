#include "service/CompanionLoader.h"

#include <algorithm>
#include <vector>

#include "platform/Text.h"

namespace kel {

#ifdef _WIN32

namespace {

std::wstring DirectoryOf(HMODULE module) {
  const std::wstring path = ModuleFileName(module);
  const std::size_t slash = path.find_last_of(L"\\/");
  return slash == std::wstring::npos ? std::wstring() : path.substr(0, slash);
}

// A directory the system reports through a call that takes a buffer and
// its size and answers the size it needs when that is larger.
template <class Call>
std::wstring SystemDirectory(Call call) {
  std::wstring dir(MAX_PATH, L'\0');
  UINT n = call(dir.data(), static_cast<UINT>(dir.size()));
  if (n >= dir.size()) {
    dir.assign(n, L'\0');
    n = call(dir.data(), static_cast<UINT>(dir.size()));
  }
  if (n == 0 || n >= dir.size()) return {};
  dir.resize(n);
  return dir;
}

bool IsAbsolute(const std::wstring& dir) {
  return (dir.size() >= 3 && dir[1] == L':' && (dir[2] == L'\\' || dir[2] == L'/')) ||
         dir.rfind(L"\\\\", 0) == 0;
}

// A drive path as long as MAX_PATH or longer goes to the file calls in its
// extended form, which has no length limit.
std::wstring ForFileCalls(const std::wstring& path) {
  if (path.size() < MAX_PATH || path.rfind(L"\\\\", 0) == 0) return path;
  return L"\\\\?\\" + path;
}

bool IsFile(const std::wstring& path) {
  const DWORD attributes = GetFileAttributesW(ForFileCalls(path).c_str());
  return attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

// The system's search order for a library without the current directory:
// this module's directory, the program's, the system directories, PATH.
std::vector<std::wstring> SearchDirectories() {
  std::vector<std::wstring> dirs;
  HMODULE self = nullptr;
  if (GetModuleHandleExW(
          GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
          reinterpret_cast<LPCWSTR>(&LoadCompanion), &self))
    dirs.push_back(DirectoryOf(self));
  dirs.push_back(DirectoryOf(nullptr));
  dirs.push_back(SystemDirectory(GetSystemDirectoryW));
  dirs.push_back(SystemDirectory(GetWindowsDirectoryW));
  const DWORD size = GetEnvironmentVariableW(L"PATH", nullptr, 0);
  if (size > 0) {
    std::wstring path(size, L'\0');
    const DWORD n = GetEnvironmentVariableW(L"PATH", path.data(), size);
    path.resize(n < size ? n : 0);
    std::size_t start = 0;
    while (start <= path.size()) {
      const std::size_t end = std::min(path.find(L';', start), path.size());
      std::wstring dir = path.substr(start, end - start);
      // Relative entries would name the current directory again.
      if (IsAbsolute(dir)) dirs.push_back(std::move(dir));
      start = end + 1;
    }
  }
  return dirs;
}

std::wstring Widen(const std::string& text) {
  const int n = MultiByteToWideChar(CP_ACP, 0, text.c_str(), -1, nullptr, 0);
  if (n <= 0) return {};
  std::wstring wide(static_cast<std::size_t>(n), L'\0');
  MultiByteToWideChar(CP_ACP, 0, text.c_str(), -1, wide.data(), n);
  wide.resize(static_cast<std::size_t>(n) - 1);
  return wide;
}

// Loads the file at a full path. Where the system can search the library's
// own directory and its safe default directories only (AddDllDirectory is
// the sign), the companion's own imports come from there and never from
// the current directory; elsewhere its directory replaces the program's.
HMODULE LoadFrom(const std::wstring& path) {
  constexpr DWORD kSearchDllLoadDir = 0x00000100;   // LOAD_LIBRARY_SEARCH_DLL_LOAD_DIR
  constexpr DWORD kSearchDefaultDirs = 0x00001000;  // LOAD_LIBRARY_SEARCH_DEFAULT_DIRS
  const std::wstring file = ForFileCalls(path);
  const HMODULE kernel = GetModuleHandleW(L"kernel32.dll");
  if (kernel != nullptr && GetProcAddress(kernel, "AddDllDirectory") != nullptr) {
    if (HMODULE module =
            LoadLibraryExW(file.c_str(), nullptr, kSearchDllLoadDir | kSearchDefaultDirs))
      return module;
    if (GetLastError() != ERROR_INVALID_PARAMETER) return nullptr;
  }
  return LoadLibraryExW(file.c_str(), nullptr, LOAD_WITH_ALTERED_SEARCH_PATH);
}

}  // namespace

HMODULE LoadCompanion(const std::string& name) {
  const std::wstring wide = Widen(name);
  if (wide.empty()) return nullptr;
  if (wide.find_first_of(L"\\/") != std::wstring::npos) return LoadLibraryW(wide.c_str());
  for (const std::wstring& dir : SearchDirectories()) {
    if (dir.empty()) continue;
    const std::wstring path = dir + L"\\" + wide;
    if (IsFile(path)) return LoadFrom(path);
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
