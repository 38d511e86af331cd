// Implementations of the Windows functions declared in Win32.h, over POSIX.
#include "platform/posix/Win32.h"

#include <dlfcn.h>
#include <unistd.h>

#include <cstdlib>
#include <cstring>
#include <algorithm>
#include <string>
#include <vector>

extern "C" void* CoTaskMemAlloc(SIZE_T cb) {
  return std::malloc(cb == 0 ? 1 : cb);
}

extern "C" void CoTaskMemFree(void* pv) {
  std::free(pv);
}

namespace {

std::string SharedObjectName(const char* name) {
  std::string file(name);
  const std::size_t n = file.size();
  if (n >= 4 && file[n - 4] == '.' && (file[n - 3] | 0x20) == 'd' && (file[n - 2] | 0x20) == 'l' &&
      (file[n - 1] | 0x20) == 'l')
    file.replace(n - 4, 4, ".so");
  return file;
}

// The directory of the running program, with its trailing "/"; empty when
// unknown.
std::string ProgramDirectory() {
  char path[4096];
  const ssize_t n = readlink("/proc/self/exe", path, sizeof path - 1);
  if (n <= 0) return {};
  const std::string exe(path, static_cast<std::size_t>(n));
  const std::size_t slash = exe.rfind('/');
  return slash == std::string::npos ? std::string() : exe.substr(0, slash + 1);
}

volatile LONG openLibraries = 0;

HMODULE Counted(void* handle) {
  if (handle != nullptr) InterlockedIncrement(&openLibraries);
  return static_cast<HMODULE>(handle);
}

// Where a bare library name is looked for, in order; every entry absolute.
std::vector<std::string> LibraryDirectories() {
  std::vector<std::string> dirs;
  if (std::string program = ProgramDirectory(); !program.empty()) dirs.push_back(program);
  if (const char* path = std::getenv("LD_LIBRARY_PATH")) {
    const std::string list = path;
    std::size_t start = 0;
    while (start <= list.size()) {
      const std::size_t end = std::min(list.find(':', start), list.size());
      // An empty or relative entry means the current directory: left out.
      if (end > start && list[start] == '/') dirs.push_back(list.substr(start, end - start) + "/");
      start = end + 1;
    }
  }
  for (const char* dir : {"/usr/local/lib/", "/lib/" KEL_MULTIARCH "/",
                          "/usr/lib/" KEL_MULTIARCH "/", "/lib/", "/usr/lib/"})
    dirs.emplace_back(dir);
  return dirs;
}

}  // namespace

extern "C" HMODULE LoadLibraryA(LPCSTR lpLibFileName) {
  if (lpLibFileName == nullptr || *lpLibFileName == 0) return nullptr;
  const std::string file = SharedObjectName(lpLibFileName);
  if (file.find('/') != std::string::npos)
    return Counted(dlopen(file.c_str(), RTLD_NOW | RTLD_LOCAL));
  for (const std::string& dir : LibraryDirectories()) {
    const std::string path = dir + file;
    if (access(path.c_str(), F_OK) == 0)
      return Counted(dlopen(path.c_str(), RTLD_NOW | RTLD_LOCAL));
  }
  return nullptr;
}

extern "C" FARPROC GetProcAddress(HMODULE hModule, LPCSTR lpProcName) {
  if (hModule == nullptr || lpProcName == nullptr) return nullptr;
  return reinterpret_cast<FARPROC>(dlsym(hModule, lpProcName));
}

extern "C" BOOL FreeLibrary(HMODULE hLibModule) {
  if (hLibModule == nullptr || dlclose(hLibModule) != 0) return FALSE;
  InterlockedDecrement(&openLibraries);
  return TRUE;
}

extern "C" LONG KelOpenLibraryCount() {
  return InterlockedExchangeAdd(&openLibraries, 0);
}

namespace {

// Appends the UTF-8 form of one wide character; returns the bytes written.
int EncodeUtf8(std::uint32_t c, char* out) {
  if (c >= 0xD800 && c <= 0xDFFF) c = '?';
  if (c > 0x10FFFF) c = '?';
  if (c < 0x80) {
    out[0] = static_cast<char>(c);
    return 1;
  }
  if (c < 0x800) {
    out[0] = static_cast<char>(0xC0 | (c >> 6));
    out[1] = static_cast<char>(0x80 | (c & 0x3F));
    return 2;
  }
  if (c < 0x10000) {
    out[0] = static_cast<char>(0xE0 | (c >> 12));
    out[1] = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out[2] = static_cast<char>(0x80 | (c & 0x3F));
    return 3;
  }
  out[0] = static_cast<char>(0xF0 | (c >> 18));
  out[1] = static_cast<char>(0x80 | ((c >> 12) & 0x3F));
  out[2] = static_cast<char>(0x80 | ((c >> 6) & 0x3F));
  out[3] = static_cast<char>(0x80 | (c & 0x3F));
  return 4;
}

}  // namespace

// Returns the bytes needed (cbMultiByte 0) or written, the terminator included
// when cchWideChar is -1; 0 when the buffer is too small.
extern "C" int WideCharToMultiByte(UINT, DWORD, LPCWSTR lpWideCharStr, int cchWideChar,
                                   LPSTR lpMultiByteStr, int cbMultiByte, LPCSTR, BOOL*) {
  if (lpWideCharStr == nullptr) return 0;
  std::size_t count =
      cchWideChar < 0 ? std::wcslen(lpWideCharStr) + 1 : static_cast<std::size_t>(cchWideChar);
  int total = 0;
  char unit[4];
  for (std::size_t i = 0; i < count; ++i) {
    const int n = EncodeUtf8(static_cast<std::uint32_t>(lpWideCharStr[i]), unit);
    if (cbMultiByte > 0) {
      if (total + n > cbMultiByte) return 0;
      std::memcpy(lpMultiByteStr + total, unit, static_cast<std::size_t>(n));
    }
    total += n;
  }
  return total;
}

extern "C" int CompareStringA(LCID, DWORD dwCmpFlags, LPCSTR lpString1, int cchCount1,
                              LPCSTR lpString2, int cchCount2) {
  const std::size_t n1 =
      cchCount1 < 0 ? std::strlen(lpString1) : static_cast<std::size_t>(cchCount1);
  const std::size_t n2 =
      cchCount2 < 0 ? std::strlen(lpString2) : static_cast<std::size_t>(cchCount2);
  const bool fold = (dwCmpFlags & NORM_IGNORECASE) != 0;
  const std::size_t n = n1 < n2 ? n1 : n2;
  for (std::size_t i = 0; i < n; ++i) {
    unsigned char a = static_cast<unsigned char>(lpString1[i]);
    unsigned char b = static_cast<unsigned char>(lpString2[i]);
    if (fold) {
      if (a >= 'A' && a <= 'Z') a = static_cast<unsigned char>(a + 32);
      if (b >= 'A' && b <= 'Z') b = static_cast<unsigned char>(b + 32);
    }
    if (a != b) return a < b ? CSTR_LESS_THAN : CSTR_GREATER_THAN;
  }
  if (n1 == n2) return CSTR_EQUAL;
  return n1 < n2 ? CSTR_LESS_THAN : CSTR_GREATER_THAN;
}
