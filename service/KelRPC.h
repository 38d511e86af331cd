// The companion service DLL "KelRPCPrx.dll": its three entry points, as the
// filter calls them. Texts are zero-terminated, owned by the caller and valid
// only during the call; an empty text is a pointer to a zero byte, never null.
// Every entry point returns a status, 0 meaning success.
#pragma once

#include <cstdint>
#include <cstring>

#include "platform/Platform.h"

namespace kel {

inline constexpr char kCompanionLibraryName[] = "KelRPCPrx.dll";

inline constexpr char kGetBindingName[] = "GetBinding";
inline constexpr char kReviseResourceName[] = "ReviseResource";
inline constexpr char kNoteResourceWithHrefName[] = "NoteResourceWithHref";

// Writes the document's binding (0: none) through binding.
using TGetBinding = std::int32_t(KEL_STDCALL*)(std::uint32_t* binding);

// Asks about one resource of the document; on status 0 writes the action code.
using TReviseResource = std::int32_t(KEL_STDCALL*)(std::uint32_t binding, const char* url,
                                                   const char* contentType, const char* documentUrl,
                                                   const char* href, std::int32_t width,
                                                   std::int32_t height, std::int32_t reserved,
                                                   std::int32_t* action);

// Reports one link of an image map; on status 0 writes the action code.
using TNoteResourceWithHref = std::int32_t(KEL_STDCALL*)(std::uint32_t binding,
                                                         const char* imageUrl, const char* href,
                                                         std::int32_t* action);

// The named entry point of module as a function of type Fn, or null.
template <class Fn>
Fn GetEntryPoint(HMODULE module, const char* name) {
  const FARPROC proc = GetProcAddress(module, name);
  static_assert(sizeof(Fn) == sizeof(proc), "entry points are code pointers");
  Fn fn = nullptr;
  std::memcpy(&fn, &proc, sizeof fn);
  return fn;
}

}  // namespace kel
