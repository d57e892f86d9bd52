// <windows.h> as this project's Windows code takes it: without the min and
// max macros, which would break std::min and std::max, and without the
// seldom used parts of the API, which only slow the build.
#ifndef PCX_PLATFORM_WIN32_WIN32_H
#define PCX_PLATFORM_WIN32_WIN32_H

#ifndef NOMINMAX
#define NOMINMAX
#endif
#ifndef WIN32_LEAN_AND_MEAN
#define WIN32_LEAN_AND_MEAN
#endif
#include <windows.h>

#endif  // PCX_PLATFORM_WIN32_WIN32_H
