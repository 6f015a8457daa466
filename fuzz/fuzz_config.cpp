// Fuzz target for the configuration scanner. The input becomes a
// NUL-terminated heap text (so AddressSanitizer sees any read past the NUL)
// for the primitives, and a file for the reader, whose record is then checked.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "json_parse.h"

namespace {

// One scratch file per process, removed at exit.
const char *scratch_path() {
    static std::string path;
    if (path.empty()) {
        const char *dir = std::getenv("TMPDIR");
        path = std::string(dir && *dir ? dir : "/tmp") + "/orvel-fuzz-config-" + std::to_string(getpid()) + ".json";
        std::atexit([] { std::remove(path.c_str()); });
    }
    return path.c_str();
}

void check(bool ok, const char *what) {
    if (ok) return;
    std::fprintf(stderr, "fuzz_config: invariant violated: %s\n", what);
    std::abort();
}

void check_record(const ModelConfig &config) {
    check(std::memchr(config.voice, '\0', VOICE_NAME_SIZE) != nullptr, "voice NUL-terminated");
    check(config.num_phonemes >= 0 && config.num_phonemes <= MAX_PHONEMES, "num_phonemes in 0..512");
    for (int i = 0; i < MAX_PHONEMES; ++i) {
        const PhonemeIdEntry &row = config.phonemes[i];
        if (i >= config.num_phonemes) {
            check(row.codepoint == 0 && row.num_ids == 0, "unused rows zero");
            for (int64_t id : row.ids) check(id == 0, "unused rows zero");
            continue;
        }
        check(row.num_ids >= 0 && row.num_ids <= MAX_IDS_PER_PHONEME, "num_ids in 0..8");
        for (int j = row.num_ids; j < MAX_IDS_PER_PHONEME; ++j) check(row.ids[j] == 0, "ids past num_ids zero");
        check(row.codepoint >= 0 && row.codepoint <= 0x1FFFFF, "code point from at most four bytes");
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    char *text = static_cast<char *>(std::malloc(size + 1));
    if (!text) return 0;
    if (size) std::memcpy(text, data, size);
    text[size] = '\0';
    const char *end = text + std::strlen(text);

    const char *after = skip_value(text);
    check(after == nullptr || (after >= text && after <= end), "skip_value stays within the text");
    float value = 0.0f;
    after = parse_float(text, &value);
    check(after >= text && after <= end, "parse_float stays within the text");
    if (text[0] == '"') {
        char buf[16];
        after = parse_string(text, buf, sizeof buf);
        check(after > text && after <= end, "parse_string stays within the text");
        check(std::memchr(buf, '\0', sizeof buf) != nullptr, "parse_string NUL-terminates");
        check(parse_string(text, nullptr, 0) == after, "parse_string passes over as it decodes");
    }
    std::free(text);

    FILE *file = std::fopen(scratch_path(), "wb");
    if (!file) return 0;
    const bool written = std::fwrite(data, 1, size, file) == size;
    if (std::fclose(file) != 0 || !written) return 0;
    static ModelConfig config;
    const int result = parse_model_config(scratch_path(), &config);
    check(result == 0 || result == -1, "result 0 or -1");
    check_record(config);
    if (result == -1) check(std::strcmp(config.voice, "en-us") == 0 && config.num_phonemes == 0, "defaults on -1");
    return 0;
}
