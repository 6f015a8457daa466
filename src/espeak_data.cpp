#include "espeak_data.h"

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform.h"

namespace {

constexpr int PATH_BUFFER_SIZE = 1024;

// eSpeak NG 1.51 trusts its data files: on a copied data folder an empty or
// random phontab, or an empty, random or cut phonindex, crashed the host in
// the first request, and a cut phontab or dictionary gave wrong phonemes
// without a word (a cut phondata, or any intonations, did no harm; an empty or
// random phondata it refuses itself). So the folder it will read is checked
// first, where that can be cheap: phontab's tables must end exactly at its
// end, every phoneme's program must lie inside phonindex, phonindex and
// phondata must carry the same version, and each dictionary's header must hold
// eSpeak NG's hash size and a rules offset inside the file. Their contents
// beyond that (programs, sounds, rules) cannot be checked without eSpeak NG.
constexpr int32_t DICTIONARY_HASH_SIZE = 1024;  // eSpeak NG's N_HASH_DICT
constexpr long PHONEME_TABLE_NAME = 32;
constexpr size_t PHONEME_RECORD = 16;  // mnemonic, flags, program (at 8), six bytes

struct DataFile {
    std::FILE *file;
    long size;
};

// Opens folder/name for reading when it is a regular file: false otherwise.
bool open_data_file(const char *folder, const char *name, DataFile *data, char *path, size_t path_size) {
    data->file = nullptr;
    if (std::snprintf(path, path_size, "%s/%s", folder, name) >= static_cast<int>(path_size)) return false;
    if (platform_is_irregular_file(path)) return false;
    data->file = std::fopen(path, "rb");
    if (!data->file) return false;
    std::fseek(data->file, 0, SEEK_END);
    data->size = std::ftell(data->file);
    std::fseek(data->file, 0, SEEK_SET);
    return data->size >= 0;
}

bool read_int32(std::FILE *file, int32_t *value) {
    unsigned char b[4];
    if (std::fread(b, 1, 4, file) != 4) return false;
    *value = static_cast<int32_t>(b[0] | (b[1] << 8) | (b[2] << 16) | (static_cast<uint32_t>(b[3]) << 24));
    return true;
}

// Walks phontab: the largest phoneme program, or -1 when the tables do not
// fill the file exactly.
long phoneme_tables_end(std::FILE *file, long size) {
    int32_t tables = 0;
    if (!read_int32(file, &tables) || tables < 1) return -1;
    long at = 4, largest = 0;
    for (int32_t t = 0; t < tables; ++t) {
        unsigned char header[4];
        if (std::fread(header, 1, 4, file) != 4 || std::fseek(file, PHONEME_TABLE_NAME, SEEK_CUR) != 0) return -1;
        at += 4 + PHONEME_TABLE_NAME;
        for (int i = 0; i < header[0]; ++i) {
            unsigned char record[PHONEME_RECORD];
            if (std::fread(record, 1, PHONEME_RECORD, file) != PHONEME_RECORD) return -1;
            long program = record[8] | (record[9] << 8);
            if (program > largest) largest = program;
            at += PHONEME_RECORD;
        }
        if (at > size) return -1;
    }
    return at == size ? largest : -1;
}

struct DataCheck {
    const char *folder;
    bool ok;
};

// One dictionary (a name ending in "_dict"): its hash size and rules offset.
void check_dictionary(const char *name, void *context) {
    DataCheck *check = static_cast<DataCheck *>(context);
    size_t len = std::strlen(name);
    if (!check->ok || len < 5 || std::strcmp(name + len - 5, "_dict") != 0) return;
    char path[PATH_BUFFER_SIZE];
    DataFile dict;
    int32_t hash_size = 0, rules = 0;
    bool ok = open_data_file(check->folder, name, &dict, path, sizeof path) && read_int32(dict.file, &hash_size) &&
              read_int32(dict.file, &rules) && hash_size == DICTIONARY_HASH_SIZE && rules > 8 && rules < dict.size;
    if (dict.file) std::fclose(dict.file);
    if (!ok) {
        std::fprintf(stderr, "Unusable espeak-ng data file: %s (not a dictionary eSpeak NG can read)\n", path);
        check->ok = false;
    }
}

// Checks the phoneme files and dictionaries of an eSpeak NG data folder.
// 0, or -1 after one line naming the first damaged file.
int check_data_folder(const char *folder) {
    char path[PATH_BUFFER_SIZE];
    DataFile tab{}, index{}, data{}, tunes{};
    const char *damage = nullptr;
    int32_t index_version = 0, data_version = 0;
    long largest_program = -1;
    if (!open_data_file(folder, "phontab", &tab, path, sizeof path))
        damage = "missing";
    else if ((largest_program = phoneme_tables_end(tab.file, tab.size)) < 0)
        damage = "its tables do not fill it";
    else if (!open_data_file(folder, "phondata", &data, path, sizeof path))
        damage = "missing";
    else if (!read_int32(data.file, &data_version) || data.size < 8)
        damage = "too short";
    else if (!open_data_file(folder, "phonindex", &index, path, sizeof path))
        damage = "missing";
    else if (!read_int32(index.file, &index_version) || index.size / 2 <= largest_program)
        damage = "shorter than phontab's phonemes need";
    else if (index_version != data_version)
        damage = "its version is not phondata's";
    else if (!open_data_file(folder, "intonations", &tunes, path, sizeof path))
        damage = "missing";
    else if (tunes.size == 0)
        damage = "empty";
    DataFile *opened[] = {&tab, &index, &data, &tunes};
    for (DataFile *f : opened)
        if (f->file) std::fclose(f->file);
    if (damage) {
        std::fprintf(stderr, "Unusable espeak-ng data file: %s (%s)\n", path, damage);
        return -1;
    }
    DataCheck check{folder, true};
    platform_each_entry(folder, check_dictionary, &check);
    return check.ok ? 0 : -1;
}

// The data folder eSpeak NG will read for a data path, as it chooses:
// <path>/espeak-ng-data or <path>, then the same of $ESPEAK_DATA_PATH, then
// $HOME/espeak-ng-data. Its built-in default (the packaged data) is not
// looked at: false when that is the one.
bool espeak_data_folder(const char *espeak_data_path, char *folder, size_t size) {
    const char *home = std::getenv("HOME");
    const char *candidates[] = {espeak_data_path, espeak_data_path, std::getenv("ESPEAK_DATA_PATH"),
                                std::getenv("ESPEAK_DATA_PATH"), home};
    for (int i = 0; i < 5; ++i) {
        if (!candidates[i] || !candidates[i][0]) continue;
        const bool inner = i % 2 == 0;  // <base>/espeak-ng-data (and the home's)
        int n = inner ? std::snprintf(folder, size, "%s/espeak-ng-data", candidates[i])
                      : std::snprintf(folder, size, "%s", candidates[i]);
        if (n > 0 && static_cast<size_t>(n) < size && platform_is_folder(folder)) return true;
    }
    return false;
}

}  // namespace

bool espeak_data_path_exists(const char *espeak_data_path) {
    return espeak_data_path && espeak_data_path[0] && platform_is_folder(espeak_data_path);
}

int espeak_data_check(const char *espeak_data_path) {
    char folder[PATH_BUFFER_SIZE];
    if (!espeak_data_folder(espeak_data_path, folder, sizeof folder)) return 0;
    return check_data_folder(folder);
}
