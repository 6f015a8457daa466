// Feeds stored fuzz inputs (files, or every file in the folders given) to the
// fuzz target, so the corpus and past crashes are checked by every ctest run.
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <vector>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size);

static int run_file(const std::filesystem::path &path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) {
        std::fprintf(stderr, "replay: cannot read %s\n", path.c_str());
        return 1;
    }
    std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    // libFuzzer never passes a null pointer, not even for an empty input; an
    // empty vector's data() may be null.
    static const uint8_t empty = 0;
    LLVMFuzzerTestOneInput(bytes.empty() ? &empty : bytes.data(), bytes.size());
    return 0;
}

int main(int argc, char **argv) {
    namespace fs = std::filesystem;
    int failures = 0, inputs = 0;
    for (int i = 1; i < argc; ++i) {
        fs::path arg(argv[i]);
        std::error_code ec;
        if (fs::is_directory(arg, ec)) {
            for (const auto &entry : fs::directory_iterator(arg)) {
                if (!entry.is_regular_file()) continue;
                failures += run_file(entry.path());
                ++inputs;
            }
        } else if (fs::exists(arg, ec)) {
            failures += run_file(arg);
            ++inputs;
        }
    }
    std::printf("replayed %d inputs\n", inputs);
    return failures == 0 ? 0 : 1;
}
