// How the host and the module call each other: Windows' standard calling
// convention on 32-bit Windows, the platform's default elsewhere, and
// pointer-sized words (32 bits in the product DLL).
#pragma once

#include <cstdint>

#if defined(_WIN32) && !defined(_WIN64)
#define QEL_HOSTAPI __stdcall
#else
#define QEL_HOSTAPI
#endif

#if defined(_WIN32)
#define QEL_EXPORT __declspec(dllexport)
#else
#define QEL_EXPORT __attribute__((visibility("default")))
#endif

namespace qel {

using HostWord = std::uintptr_t;
using HostEventHandler = void(QEL_HOSTAPI*)(HostWord, HostWord, HostWord, HostWord);
using HostCallback = void(QEL_HOSTAPI*)(HostWord, HostWord, HostWord);
using ModuleEntry = void(QEL_HOSTAPI*)();

}  // namespace qel
