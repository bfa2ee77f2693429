#pragma once
// The operating system's own API, for the files that call it directly:
// windows.h without its min and max macros (they break std::min and
// std::max) and the C runtime's low-level file calls, or the POSIX ones.

#ifdef _WIN32
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <fcntl.h>
#include <io.h>
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif
