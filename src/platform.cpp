#include "platform.h"

#include <sys/stat.h>

#include <clocale>
#include <cstdio>
#include <cstdlib>
#include <cstring>

bool platform_equal_ignoring_case(const char *a, const char *b) {
    for (;; ++a, ++b) {
        char x = *a >= 'A' && *a <= 'Z' ? static_cast<char>(*a + 32) : *a;
        char y = *b >= 'A' && *b <= 'Z' ? static_cast<char>(*b + 32) : *b;
        if (x != y) return false;
        if (!x) return true;
    }
}

#if defined(_WIN32)
#include <windows.h>

bool platform_is_irregular_file(const char *path) {
    struct _stat64 st;
    return _stat64(path, &st) == 0 && (st.st_mode & _S_IFMT) != _S_IFREG;
}

bool platform_is_regular_file(const char *path) {
    struct _stat64 st;
    return _stat64(path, &st) == 0 && (st.st_mode & _S_IFMT) == _S_IFREG;
}

bool platform_is_private_file(const char *) { return true; }

const OrtPathChar *platform_ort_path(const char *path, OrtPathChar *buffer, size_t size) {
    // In the ANSI code page, as fopen reads the configuration's path: the C
    // runtime's "C" locale widens each byte as it stands, so a folder named
    // with a letter of 0x80..0x9F (€, œ, Š) was found for the configuration
    // and missed for the model.
    static _locale_t ansi = _create_locale(LC_CTYPE, ".ACP");
    size_t converted = 0;
    const errno_t result = ansi ? _mbstowcs_s_l(&converted, buffer, size, path, _TRUNCATE, ansi)
                                : mbstowcs_s(&converted, buffer, size, path, _TRUNCATE);
    return result == 0 ? buffer : nullptr;
}

float platform_strtof_c_locale(const char *text) {
    static _locale_t c_locale = _create_locale(LC_NUMERIC, "C");
    return c_locale ? static_cast<float>(_strtod_l(text, nullptr, c_locale)) : std::strtof(text, nullptr);
}

namespace {
// A critical section is recursive; the function-local static makes its
// initialisation thread-safe.
struct RecursiveLock {
    CRITICAL_SECTION section;
    RecursiveLock() { InitializeCriticalSection(&section); }
};
RecursiveLock &the_lock() {
    static RecursiveLock lock;
    return lock;
}
}  // namespace

void platform_lock() { EnterCriticalSection(&the_lock().section); }
void platform_unlock() { LeaveCriticalSection(&the_lock().section); }

LibraryHandle platform_load_library(const char *path) {
    return reinterpret_cast<LibraryHandle>(LoadLibraryA(path));
}

void *platform_find_symbol(LibraryHandle library, const char *name) {
    return reinterpret_cast<void *>(GetProcAddress(static_cast<HMODULE>(library), name));
}

void platform_free_library(LibraryHandle library) {
    if (library) FreeLibrary(static_cast<HMODULE>(library));
}

bool platform_is_folder(const char *path) {
    struct _stat64 st;
    return _stat64(path, &st) == 0 && (st.st_mode & _S_IFMT) == _S_IFDIR;
}

bool platform_each_entry(const char *folder, void (*visit)(const char *name, void *context), void *context) {
    char pattern[MAX_PATH];
    if (std::snprintf(pattern, sizeof pattern, "%s\\*", folder) >= static_cast<int>(sizeof pattern)) return false;
    WIN32_FIND_DATAA entry;
    HANDLE search = FindFirstFileA(pattern, &entry);
    if (search == INVALID_HANDLE_VALUE) return false;
    do {
        if (std::strcmp(entry.cFileName, ".") != 0 && std::strcmp(entry.cFileName, "..") != 0)
            visit(entry.cFileName, context);
    } while (FindNextFileA(search, &entry));
    FindClose(search);
    return true;
}

#else
#include <dirent.h>
#include <dlfcn.h>
#include <unistd.h>

#include <cstring>
#include <locale.h>
#include <pthread.h>
#if defined(__APPLE__)
#include <xlocale.h>
#endif

bool platform_is_irregular_file(const char *path) {
    struct stat st;
    return stat(path, &st) == 0 && !S_ISREG(st.st_mode);
}

bool platform_is_regular_file(const char *path) {
    struct stat st;
    return stat(path, &st) == 0 && S_ISREG(st.st_mode);
}

const OrtPathChar *platform_ort_path(const char *path, OrtPathChar *, size_t) { return path; }

float platform_strtof_c_locale(const char *text) {
    static locale_t c_locale = newlocale(LC_NUMERIC_MASK, "C", static_cast<locale_t>(0));
    return c_locale ? strtof_l(text, nullptr, c_locale) : std::strtof(text, nullptr);
}

namespace {
bool is_private(const char *path) {
    struct stat st;
    if (stat(path, &st) != 0) return false;
    if (st.st_mode & (S_IWGRP | S_IWOTH)) return false;
    return st.st_uid == 0 || st.st_uid == geteuid();
}
}  // namespace

bool platform_is_private_file(const char *path) {
    char folder[1024];
    const char *slash = std::strrchr(path, '/');
    size_t len = slash ? static_cast<size_t>(slash - path) : 0;
    if (!slash || len + 1 >= sizeof folder) return false;
    std::memcpy(folder, path, len);
    folder[len] = '\0';
    if (len == 0) std::strcpy(folder, "/");
    return is_private(folder) && is_private(path);
}

namespace {
// Recursive, so an exported call may make another (speak to file speaks to a
// buffer); the function-local static makes its initialisation thread-safe.
struct RecursiveLock {
    pthread_mutex_t mutex;
    RecursiveLock() {
        pthread_mutexattr_t attributes;
        pthread_mutexattr_init(&attributes);
        pthread_mutexattr_settype(&attributes, PTHREAD_MUTEX_RECURSIVE);
        pthread_mutex_init(&mutex, &attributes);
        pthread_mutexattr_destroy(&attributes);
    }
};
RecursiveLock &the_lock() {
    static RecursiveLock lock;
    return lock;
}
}  // namespace

void platform_lock() { pthread_mutex_lock(&the_lock().mutex); }
void platform_unlock() { pthread_mutex_unlock(&the_lock().mutex); }

LibraryHandle platform_load_library(const char *path) {
    // RTLD_LOCAL keeps eSpeak NG's symbols out of the host's namespace, and no
    // RTLD_NODELETE: only a real unmap lets eSpeak NG 1.51 initialise again.
    return dlopen(path, RTLD_NOW | RTLD_LOCAL);
}

void *platform_find_symbol(LibraryHandle library, const char *name) {
    return dlsym(library, name);
}

void platform_free_library(LibraryHandle library) {
    if (library) dlclose(library);
}

bool platform_is_folder(const char *path) {
    struct stat st;
    return stat(path, &st) == 0 && S_ISDIR(st.st_mode);
}

bool platform_each_entry(const char *folder, void (*visit)(const char *name, void *context), void *context) {
    DIR *dir = opendir(folder);
    if (!dir) return false;
    while (const struct dirent *entry = readdir(dir))
        if (std::strcmp(entry->d_name, ".") != 0 && std::strcmp(entry->d_name, "..") != 0)
            visit(entry->d_name, context);
    closedir(dir);
    return true;
}
#endif
