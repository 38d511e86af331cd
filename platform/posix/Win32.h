// The part of the Windows API that this project uses, declared for builds
// that are not Windows. Names, values and method order are those of the real
// interfaces, so the same sources compile against either. Only what the code
// uses is here.
#pragma once

#include <cstddef>
#include <cstdint>

// ---- Base types -------------------------------------------------------------

using BYTE = std::uint8_t;
using WORD = std::uint16_t;
using DWORD = std::uint32_t;
using ULONG = std::uint32_t;  // 32 bits as on Windows, whatever `long` is here
using LONG = std::int32_t;
using UINT = unsigned int;
using INT = int;
using BOOL = int;
using HRESULT = std::int32_t;
using LCID = DWORD;
using WCHAR = wchar_t;
using CHAR = char;
using LPSTR = char*;
using LPCSTR = const char*;
using LPWSTR = WCHAR*;
using LPCWSTR = const WCHAR*;
using LPOLESTR = WCHAR*;
using LPCOLESTR = const WCHAR*;
using LPVOID = void*;
using HANDLE_PTR = std::uintptr_t;
using ULONG_PTR = std::uintptr_t;
using SIZE_T = std::size_t;

#ifndef TRUE
#define TRUE 1
#define FALSE 0
#endif

#define STDMETHODCALLTYPE
#define WINAPI
#define STDAPI extern "C" HRESULT

union LARGE_INTEGER {
  struct {
    DWORD LowPart;
    LONG HighPart;
  } u;
  std::int64_t QuadPart;
};

union ULARGE_INTEGER {
  struct {
    DWORD LowPart;
    DWORD HighPart;
  } u;
  std::uint64_t QuadPart;
};

// ---- Status codes -----------------------------------------------------------

constexpr HRESULT MakeHresult(std::uint32_t v) {
  return static_cast<HRESULT>(v);
}

#define S_OK ((HRESULT)0)
#define S_FALSE ((HRESULT)1)
#define E_NOTIMPL MakeHresult(0x80004001u)
#define E_NOINTERFACE MakeHresult(0x80004002u)
#define E_POINTER MakeHresult(0x80004003u)
#define E_FAIL MakeHresult(0x80004005u)
#define E_PENDING MakeHresult(0x8000000Au)
#define E_UNEXPECTED MakeHresult(0x8000FFFFu)
#define E_OUTOFMEMORY MakeHresult(0x8007000Eu)
#define E_INVALIDARG MakeHresult(0x80070057u)
#define CLASS_E_NOAGGREGATION MakeHresult(0x80040110u)
#define CLASS_E_CLASSNOTAVAILABLE MakeHresult(0x80040111u)
#define INET_E_DATA_NOT_AVAILABLE MakeHresult(0x800C0007u)
#define INET_E_DOWNLOAD_FAILURE MakeHresult(0x800C0008u)

#define SUCCEEDED(hr) (((HRESULT)(hr)) >= 0)
#define FAILED(hr) (((HRESULT)(hr)) < 0)

// ---- GUIDs ------------------------------------------------------------------

struct GUID {
  DWORD Data1;
  WORD Data2;
  WORD Data3;
  BYTE Data4[8];
};
using IID = GUID;
using CLSID = GUID;
using REFGUID = const GUID&;
using REFIID = const IID&;
using REFCLSID = const CLSID&;

inline bool IsEqualGUID(REFGUID a, REFGUID b) {
  if (a.Data1 != b.Data1 || a.Data2 != b.Data2 || a.Data3 != b.Data3) return false;
  for (int i = 0; i < 8; ++i)
    if (a.Data4[i] != b.Data4[i]) return false;
  return true;
}
inline bool operator==(REFGUID a, REFGUID b) {
  return IsEqualGUID(a, b);
}
inline bool operator!=(REFGUID a, REFGUID b) {
  return !IsEqualGUID(a, b);
}
#define IsEqualIID(a, b) IsEqualGUID(a, b)

inline constexpr IID IID_IUnknown = {
    0x00000000, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
inline constexpr IID IID_IClassFactory = {
    0x00000001, 0x0000, 0x0000, {0xC0, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x46}};
inline constexpr IID IID_ISupportErrorInfo = {
    0xDF0B3D60, 0x548F, 0x101B, {0x8E, 0x65, 0x08, 0x00, 0x2B, 0x2B, 0xD1, 0x19}};
inline constexpr IID IID_IInternetBindInfo = {
    0x79EAC9E1, 0xBAF9, 0x11CE, {0x8C, 0x82, 0x00, 0xAA, 0x00, 0x4B, 0xA9, 0x0B}};
inline constexpr IID IID_IInternetProtocolRoot = {
    0x79EAC9E3, 0xBAF9, 0x11CE, {0x8C, 0x82, 0x00, 0xAA, 0x00, 0x4B, 0xA9, 0x0B}};
inline constexpr IID IID_IInternetProtocol = {
    0x79EAC9E4, 0xBAF9, 0x11CE, {0x8C, 0x82, 0x00, 0xAA, 0x00, 0x4B, 0xA9, 0x0B}};
inline constexpr IID IID_IInternetProtocolSink = {
    0x79EAC9E5, 0xBAF9, 0x11CE, {0x8C, 0x82, 0x00, 0xAA, 0x00, 0x4B, 0xA9, 0x0B}};

// ---- Interfaces ---------------------------------------------------------------

struct IUnknown {
  virtual HRESULT STDMETHODCALLTYPE QueryInterface(REFIID riid, void** ppvObject) = 0;
  virtual ULONG STDMETHODCALLTYPE AddRef() = 0;
  virtual ULONG STDMETHODCALLTYPE Release() = 0;
};

struct IClassFactory : IUnknown {
  virtual HRESULT STDMETHODCALLTYPE CreateInstance(IUnknown* pUnkOuter, REFIID riid,
                                                   void** ppvObject) = 0;
  virtual HRESULT STDMETHODCALLTYPE LockServer(BOOL fLock) = 0;
};

struct ISupportErrorInfo : IUnknown {
  virtual HRESULT STDMETHODCALLTYPE InterfaceSupportsErrorInfo(REFIID riid) = 0;
};

struct PROTOCOLDATA {
  DWORD grfFlags;
  DWORD dwState;
  LPVOID pData;
  ULONG cbData;
};

struct BINDINFO;  // only passed through by pointer here

struct IInternetProtocolSink;

struct IInternetBindInfo : IUnknown {
  virtual HRESULT STDMETHODCALLTYPE GetBindInfo(DWORD* grfBINDF, BINDINFO* pbindinfo) = 0;
  virtual HRESULT STDMETHODCALLTYPE GetBindString(ULONG ulStringType, LPOLESTR* ppwzStr, ULONG cEl,
                                                  ULONG* pcElFetched) = 0;
};

struct IInternetProtocolRoot : IUnknown {
  virtual HRESULT STDMETHODCALLTYPE Start(LPCWSTR szUrl, IInternetProtocolSink* pOIProtSink,
                                          IInternetBindInfo* pOIBindInfo, DWORD grfPI,
                                          HANDLE_PTR dwReserved) = 0;
  virtual HRESULT STDMETHODCALLTYPE Continue(PROTOCOLDATA* pProtocolData) = 0;
  virtual HRESULT STDMETHODCALLTYPE Abort(HRESULT hrReason, DWORD dwOptions) = 0;
  virtual HRESULT STDMETHODCALLTYPE Terminate(DWORD dwOptions) = 0;
  virtual HRESULT STDMETHODCALLTYPE Suspend() = 0;
  virtual HRESULT STDMETHODCALLTYPE Resume() = 0;
};

struct IInternetProtocol : IInternetProtocolRoot {
  virtual HRESULT STDMETHODCALLTYPE Read(void* pv, ULONG cb, ULONG* pcbRead) = 0;
  virtual HRESULT STDMETHODCALLTYPE Seek(LARGE_INTEGER dlibMove, DWORD dwOrigin,
                                         ULARGE_INTEGER* plibNewPosition) = 0;
  virtual HRESULT STDMETHODCALLTYPE LockRequest(DWORD dwOptions) = 0;
  virtual HRESULT STDMETHODCALLTYPE UnlockRequest() = 0;
};

struct IInternetProtocolSink : IUnknown {
  virtual HRESULT STDMETHODCALLTYPE Switch(PROTOCOLDATA* pProtocolData) = 0;
  virtual HRESULT STDMETHODCALLTYPE ReportProgress(ULONG ulStatusCode, LPCWSTR szStatusText) = 0;
  virtual HRESULT STDMETHODCALLTYPE ReportData(DWORD grfBSCF, ULONG ulProgress,
                                               ULONG ulProgressMax) = 0;
  virtual HRESULT STDMETHODCALLTYPE ReportResult(HRESULT hrResult, DWORD dwError,
                                                 LPCWSTR szResult) = 0;
};

struct PROTOCOLFILTERDATA {
  DWORD cbSize;
  IInternetProtocolSink* pProtocolSink;
  IInternetProtocol* pProtocol;
  IUnknown* pUnk;
  DWORD dwFilterFlags;
};

enum { PI_PARSE_URL = 0x1, PI_FILTER_MODE = 0x2, PI_FORCE_ASYNC = 0x4 };
enum { BINDSTRING_URL = 14 };

// ---- Memory -------------------------------------------------------------------

extern "C" void* CoTaskMemAlloc(SIZE_T cb);
extern "C" void CoTaskMemFree(void* pv);

// ---- Interlocked operations -----------------------------------------------------

inline LONG InterlockedIncrement(volatile LONG* p) {
  return __atomic_add_fetch(p, 1, __ATOMIC_SEQ_CST);
}
inline LONG InterlockedDecrement(volatile LONG* p) {
  return __atomic_sub_fetch(p, 1, __ATOMIC_SEQ_CST);
}
inline LONG InterlockedExchangeAdd(volatile LONG* p, LONG v) {
  return __atomic_fetch_add(p, v, __ATOMIC_SEQ_CST);
}
// Stores exchange when *p equals comparand; returns the value *p had.
inline LONG InterlockedCompareExchange(volatile LONG* p, LONG exchange, LONG comparand) {
  __atomic_compare_exchange_n(p, &comparand, exchange, false, __ATOMIC_SEQ_CST, __ATOMIC_SEQ_CST);
  return comparand;
}

// ---- Libraries ------------------------------------------------------------------
//
// LoadLibraryA maps a Windows library name onto a shared object: a name that
// ends in ".dll" (any case) loads the file of the same name ending in ".so"
// instead, so the bare name "KelRPCPrx.dll" loads "KelRPCPrx.so", and "/dir/KelRPCPrx.dll" loads
// "/dir/KelRPCPrx.so". Any other name is handed to the loader as it is. A
// name without a directory is looked for in the running program's directory
// first (as Windows looks in the application directory), then in the
// absolute entries of LD_LIBRARY_PATH, then in the system's library
// directories, and the loader is handed the full path of the file found:
// never the bare name, which an empty or relative LD_LIBRARY_PATH entry
// would look up in the current directory.

struct HINSTANCE__;
using HMODULE = HINSTANCE__*;
using HINSTANCE = HMODULE;
using FARPROC = void (*)();

extern "C" HMODULE LoadLibraryA(LPCSTR lpLibFileName);
extern "C" FARPROC GetProcAddress(HMODULE hModule, LPCSTR lpProcName);
extern "C" BOOL FreeLibrary(HMODULE hLibModule);

// Not of the Windows API: the number of libraries loaded by LoadLibraryA and
// not yet freed, so that tests can see every load matched by a free.
extern "C" LONG KelOpenLibraryCount();

// ---- Text -----------------------------------------------------------------------
//
// The "ANSI code page" here is UTF-8: WideCharToMultiByte with CP_ACP encodes
// each wide character as UTF-8 and writes "?" for one that is not a Unicode
// scalar value. CompareStringA with NORM_IGNORECASE folds the ASCII letters to
// lower case and then compares bytes as unsigned values; it knows no locale.

#define CP_ACP 0
#define LOCALE_USER_DEFAULT 0x0400
#define NORM_IGNORECASE 0x00000001
#define CSTR_LESS_THAN 1
#define CSTR_EQUAL 2
#define CSTR_GREATER_THAN 3

extern "C" int WideCharToMultiByte(UINT CodePage, DWORD dwFlags, LPCWSTR lpWideCharStr,
                                   int cchWideChar, LPSTR lpMultiByteStr, int cbMultiByte,
                                   LPCSTR lpDefaultChar, BOOL* lpUsedDefaultChar);
extern "C" int CompareStringA(LCID Locale, DWORD dwCmpFlags, LPCSTR lpString1, int cchCount1,
                              LPCSTR lpString2, int cchCount2);

// ---- WinINet ----------------------------------------------------------------------

extern "C" BOOL InternetCombineUrlA(LPCSTR lpszBaseUrl, LPCSTR lpszRelativeUrl, LPSTR lpszBuffer,
                                    DWORD* lpdwBufferLength, DWORD dwFlags);

// Not of the Windows API: replaces what InternetCombineUrlA does (null puts
// the resolver back) and returns what it did before, so that tests can
// script it.
using KelCombineUrlFunction = BOOL (*)(LPCSTR, LPCSTR, LPSTR, DWORD*, DWORD);
extern "C" KelCombineUrlFunction KelReplaceInternetCombineUrl(KelCombineUrlFunction replacement);
