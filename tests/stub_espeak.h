// Test-side control of the scripted eSpeak NG stand-in (tests/stub_espeak.cpp).
#ifndef ORVEL_STUB_ESPEAK_H
#define ORVEL_STUB_ESPEAK_H

#include <dlfcn.h>

#include <string>
#include <vector>

// Folder of a stub variant ("full" or "no_terminate") and a data path beside it.
inline std::string stub_dir(const char *variant) { return std::string(ORVEL_STUB_ESPEAK_DIR) + "/" + variant; }
inline std::string stub_library(const char *variant) { return stub_dir(variant) + "/libespeak-ng.so.1"; }
inline std::string stub_data_path(const char *variant) { return stub_dir(variant) + "/data"; }

// True while the given library file is mapped into the process.
inline bool library_is_loaded(const std::string &path) {
    void *handle = dlopen(path.c_str(), RTLD_NOW | RTLD_NOLOAD);
    if (handle) dlclose(handle);
    return handle != nullptr;
}

// Reaches the control functions of a stub that the library has loaded. Holds
// its own reference only for its lifetime.
class StubEspeak {
public:
    explicit StubEspeak(const char *variant = "full")
        : handle_(dlopen(stub_library(variant).c_str(), RTLD_NOW | RTLD_NOLOAD)) {}
    ~StubEspeak() {
        if (handle_) dlclose(handle_);
    }
    StubEspeak(const StubEspeak &) = delete;
    StubEspeak &operator=(const StubEspeak &) = delete;

    bool loaded() const { return handle_ != nullptr; }

    void set_clauses(const std::vector<std::string> &clauses) {
        std::vector<const char *> raw;
        for (const auto &c : clauses) raw.push_back(c.c_str());
        call<void (*)(const char *const *, int)>("stub_set_clauses")(raw.data(), static_cast<int>(raw.size()));
    }
    // Where the text pointer stands after each call (bytes from the text's
    // start, negative: null); call after set_clauses.
    void set_offsets(const std::vector<int> &offsets) {
        call<void (*)(const int *, int)>("stub_set_offsets")(offsets.data(), static_cast<int>(offsets.size()));
    }
    void set_voice_result(int result) { call<void (*)(int)>("stub_set_voice_result")(result); }
    int initialize_options() { return call<int (*)()>("stub_initialize_options")(); }
    std::string initialize_path() { return call<const char *(*)()>("stub_initialize_path")(); }
    std::string voice_name() { return call<const char *(*)()>("stub_voice_name")(); }
    std::string text_seen() { return call<const char *(*)()>("stub_text_seen")(); }
    int phoneme_calls() { return call<int (*)()>("stub_phoneme_calls")(); }
    int terminate_calls() { return call<int (*)()>("stub_terminate_calls")(); }
    int voice_calls() { return call<int (*)()>("stub_voice_calls")(); }

private:
    template <typename Fn>
    Fn call(const char *name) {
        return reinterpret_cast<Fn>(dlsym(handle_, name));
    }
    void *handle_;
};

#endif
