/* Wine 8.0 has no dxcore.dll, which onnxruntime.dll loads (delay-loaded) to
 * list graphics adapters when its environment is created; without it the
 * process ends with an unhandled delay-load exception. This one answers as a
 * machine with no DXCore would: no adapter factory. Only the Wine tests use
 * it; every Windows 10 and later has the real one. */
#include <windows.h>

__declspec(dllexport) HRESULT WINAPI DXCoreCreateAdapterFactory(REFIID riid, void **factory) {
    (void)riid;
    if (factory) *factory = NULL;
    return E_NOINTERFACE;
}
