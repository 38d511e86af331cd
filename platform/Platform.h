// The one header through which the code reaches the platform: the real
// Windows headers on Windows, our own declarations elsewhere.
#pragma once

#ifdef _WIN32
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>
#include <ole2.h>
#include <urlmon.h>
#include <wininet.h>
#else
#include "platform/posix/Win32.h"
#endif

// Calling convention of the companion's entry points: stdcall where the
// platform has one (32-bit Windows), the default elsewhere.
#if defined(_WIN32) && !defined(_WIN64)
#define KEL_STDCALL __stdcall
#else
#define KEL_STDCALL
#endif
