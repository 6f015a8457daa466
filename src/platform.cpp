#include "platform.h"

#if defined(_WIN32)
#include <windows.h>

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
