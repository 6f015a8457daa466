#include "platform.h"

#include <sys/stat.h>

#if defined(_WIN32)
#include <windows.h>

bool platform_is_irregular_file(const char *path) {
    struct _stat64 st;
    return _stat64(path, &st) == 0 && (st.st_mode & _S_IFMT) != _S_IFREG;
}

LibraryHandle platform_load_library(const char *path) {
    return reinterpret_cast<LibraryHandle>(LoadLibraryA(path));
}

void *platform_find_symbol(LibraryHandle library, const char *name) {
    return reinterpret_cast<void *>(GetProcAddress(static_cast<HMODULE>(library), name));
}

void platform_free_library(LibraryHandle library) {
    if (library) FreeLibrary(static_cast<HMODULE>(library));
}

#else
#include <dlfcn.h>

bool platform_is_irregular_file(const char *path) {
    struct stat st;
    return stat(path, &st) == 0 && !S_ISREG(st.st_mode);
}

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
#endif
