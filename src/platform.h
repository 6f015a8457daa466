// The few operating-system services the library needs, behind one interface.
#ifndef ORVEL_PLATFORM_H
#define ORVEL_PLATFORM_H

#include <cstddef>

#include "ort_api.h"

// eSpeak NG's shared library file name on this platform.
#if defined(_WIN32)
#define ORVEL_ESPEAK_LIBRARY_NAME "espeak-ng.dll"
#elif defined(__APPLE__)
#define ORVEL_ESPEAK_LIBRARY_NAME "libespeak-ng.1.dylib"
#else
#define ORVEL_ESPEAK_LIBRARY_NAME "libespeak-ng.so.1"
#endif

using LibraryHandle = void *;

// Loads a shared library by path or bare name; null on failure.
LibraryHandle platform_load_library(const char *path);

// Looks up an exported entry point; null when missing.
void *platform_find_symbol(LibraryHandle library, const char *name);

// Releases a library loaded by platform_load_library (null is ignored).
void platform_free_library(LibraryHandle library);

// Whether path names something that exists and is not a regular file (a
// folder, FIFO, device or socket): such a path is refused before it is opened,
// since opening a FIFO or device can block forever.
bool platform_is_irregular_file(const char *path);

// One process-wide recursive lock: the library's exported calls hold it, so
// calls from several threads run one after another.
void platform_lock();
void platform_unlock();

// Whether a library file may be trusted to load from where it lies: it and
// its folder exist, neither is writable by group or others, and each belongs
// to the superuser or to us. Anyone could plant a file in /tmp. Windows: not
// checked (its access lists are another matter), always true.
bool platform_is_private_file(const char *path);

// Whether path names an existing regular file (one we may remove again).
bool platform_is_regular_file(const char *path);

// The path as ONNX Runtime's CreateSession takes it: on Windows converted to
// wide characters into buffer (size characters), elsewhere path itself. Null
// when it cannot be converted.
const OrtPathChar *platform_ort_path(const char *path, OrtPathChar *buffer, size_t size);

// strtof in the "C" locale, whatever locale the host selected: JSON numbers
// use '.', and a comma-decimal locale would otherwise read 0.667 as 0.
float platform_strtof_c_locale(const char *text);

// ASCII case-insensitive string equality.
bool platform_equal_ignoring_case(const char *a, const char *b);

// Whether path names an existing folder.
bool platform_is_folder(const char *path);

// Calls visit with the name of every entry of a folder (not "." or "..").
// False when the folder cannot be read.
bool platform_each_entry(const char *folder, void (*visit)(const char *name, void *context), void *context);

#endif
