// The eSpeak NG binding: loading, initialising, the clause loop, decoding and
// filtering. Scripted cases use the stub library; the rest the real eSpeak NG.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <clocale>
#include <cstdlib>
#include <string>
#include <utility>
#include <vector>

#include "orvel.h"
#include "phonemize.h"
#include "stub_espeak.h"
#include "test_util.h"

namespace {

using Codepoints = std::vector<int32_t>;

Codepoints utf8(const std::string &s) { return code_points(s); }

Codepoints phonemize(const char *text, int capacity = ORVEL_MAX_PHONEMES, const char *voice = "en-us") {
    Codepoints out(capacity > 0 ? capacity : 1, -1);
    int n = phonemize_text(voice, text, out.data(), capacity);
    if (n < 0) return {-999};
    out.resize(n);
    return out;
}

// Each test runs in its own process; make sure the next one starts clean.
class Phonemize : public ::testing::Test {
protected:
    void TearDown() override { phonemize_terminate(); }
};

}  // namespace

// Clauses are set apart by a space and keep the punctuation that closed them;
// the character eSpeak NG reads ahead belongs to the next clause.
TEST_F(Phonemize, RealClausesKeepTheirPunctuationAndASpace) {
    ASSERT_EQ(phonemize_init(nullptr), 0);
    EXPECT_EQ(phonemize("Hello, world."), utf8("həlˈoʊ, wˈɜːld."));
    EXPECT_EQ(phonemize("Hello world. How are you, friend?"),
              utf8("həlˈoʊ wˈɜːld. hˈaʊ ɑːɹ juː, fɹˈɛnd?"));
    EXPECT_EQ(phonemize("Wait... what?! Yes; no: maybe"), utf8("wˈeɪt. wˌʌt! jˈɛs; nˈoʊ: mˈeɪbiː"));
    // A two-byte character read ahead, a line break, an ellipsis.
    EXPECT_EQ(phonemize("Hello, ñandú is here."), utf8("həlˈoʊ, njˈænduː ɪz hˈɪɹ."));
    EXPECT_EQ(phonemize("Hello,\nworld"), utf8("həlˈoʊ, wˈɜːld"));
    EXPECT_EQ(phonemize("Hello\xE2\x80\xA6 world. Next"), utf8("həlˈoʊ. wˈɜːld. nˈɛkst"));
    // A quote after the period: the period still closes the clause.
    EXPECT_EQ(phonemize("He said \"hi.\" Then"), utf8("hiː sˈɛd hˈaɪ. ðˈɛn"));
    // No clause break without a space after the comma, so no punctuation either.
    EXPECT_EQ(phonemize("Hello ,world"), utf8("həlˈoʊ wˈɜːld"));
    // Only punctuation: no clause says anything, so nothing is added.
    EXPECT_EQ(phonemize("?!"), Codepoints{});
    EXPECT_EQ(phonemize("Wait... what?!"), utf8("wˈeɪt. wˌʌt!"));
}

TEST_F(Phonemize, RealFullwidthPunctuationIsGivenAsASCII) {
    ASSERT_EQ(phonemize_init(nullptr), 0);
    EXPECT_EQ(phonemize("Hello，world。Next！end？ok；yes：no"),
              utf8("həlˈoʊ, wˈɜːld. nˈɛkst! ˈɛnd? ˌoʊkˈeɪ; jˈɛs: nˈoʊ"));
}

TEST_F(Phonemize, OneCharacterLastClauseIsKeptAndDoesNotLeak) {
    ASSERT_EQ(phonemize_init(nullptr), 0);
    EXPECT_EQ(phonemize("Hello, x"), utf8("həlˈoʊ, ˈɛks"));
    EXPECT_EQ(phonemize("good morning"), utf8("ɡˈʊd mˈɔːɹnɪŋ"));
    EXPECT_EQ(phonemize("Hi. A"), utf8("hˈaɪ. ˈeɪ"));
    EXPECT_EQ(phonemize("Dog"), utf8("dˈɑːɡ"));
}

// Cut at the text limit just after a one-character clause: it is still spoken
// with its separator, the capacity holds, and nothing leaks onward.
TEST_F(Phonemize, LongTextKeepsTheLookAheadRuleAtTheCut) {
    ASSERT_EQ(phonemize_init(nullptr), 0);
    std::string text;
    const size_t last = ORVEL_MAX_TEXT_BYTES - 1;
    while (text.size() < last) text += "Hello world. ";
    text.resize(last - 5);
    text += " Hi. A";  // "A" is the last byte kept
    while (text.size() < 9000) text += " more words";
    ASSERT_EQ(text[last], 'A');
    Codepoints all = phonemize(text.c_str(), 16384);
    Codepoints tail = utf8("hˈaɪ. ˈeɪ");
    ASSERT_GT(all.size(), size_t{ORVEL_MAX_PHONEMES});
    EXPECT_EQ(Codepoints(all.end() - static_cast<long>(tail.size()), all.end()), tail);
    EXPECT_EQ(phonemize("Dog"), utf8("dˈɑːɡ"));

    Codepoints capped = phonemize(text.c_str(), ORVEL_MAX_PHONEMES);
    ASSERT_EQ(capped.size(), size_t{ORVEL_MAX_PHONEMES});
    EXPECT_EQ(capped, Codepoints(all.begin(), all.begin() + ORVEL_MAX_PHONEMES));
    EXPECT_EQ(phonemize("Dog"), utf8("dˈɑːɡ"));
}

TEST_F(Phonemize, LanguageSwitchGroupsAreDropped) {
    ASSERT_EQ(phonemize_init(nullptr), 0);
    Codepoints out = phonemize("Он сказал hello мне", 4096, "ru");
    for (int32_t cp : out) {
        EXPECT_NE(cp, '(');
        EXPECT_NE(cp, ')');
    }
    EXPECT_FALSE(out.empty());
}

TEST_F(Phonemize, CapacityCutsButEveryClauseIsStillTranslated) {
    ASSERT_EQ(phonemize_init(nullptr), 0);
    EXPECT_EQ(phonemize("Hello world. How are you?", 3), utf8("həl"));
    EXPECT_EQ(phonemize("Hello", 0), Codepoints{});
    // Nothing is left behind for the next request.
    EXPECT_EQ(phonemize("good morning"), utf8("ɡˈʊd mˈɔːɹnɪŋ"));
}

TEST_F(Phonemize, OnlyPunctuationOrSpacesGiveNothing) {
    ASSERT_EQ(phonemize_init(nullptr), 0);
    EXPECT_EQ(phonemize(" "), Codepoints{});
    EXPECT_EQ(phonemize("?!,;:"), Codepoints{});
}

TEST_F(Phonemize, UnknownVoiceFailsWithItsName) {
    ASSERT_EQ(phonemize_init(nullptr), 0);
    testing::internal::CaptureStderr();
    EXPECT_EQ(phonemize("hello", 4096, "no-such-voice"), Codepoints{-999});
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "Failed to set espeak voice: no-such-voice\n");
}

TEST_F(Phonemize, TextBeforeInitAndAfterTerminateIsRefused) {
    testing::internal::CaptureStderr();
    EXPECT_EQ(phonemize("hello"), Codepoints{-999});
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "espeak-ng not initialized\n");
    ASSERT_EQ(phonemize_init(nullptr), 0);
    phonemize_terminate();
    testing::internal::CaptureStderr();
    EXPECT_EQ(phonemize("hello"), Codepoints{-999});
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "espeak-ng not initialized\n");
}

const char kSystemData[] = "/usr/lib/x86_64-linux-gnu/espeak-ng-data";

// A data path (scratch/name) whose espeak-ng-data folder links every entry of
// the installed data but the given files, which hold the given bytes instead
// (null: left out).
using DataFiles = std::vector<std::pair<std::string, const std::string *>>;
std::string data_folder_with(const std::string &name, const DataFiles &files) {
    const std::string root = scratch_dir() + "/" + name, folder = root + "/espeak-ng-data";
    EXPECT_EQ(std::system(("mkdir -p " + folder + " && ln -s " + kSystemData + "/* " + folder).c_str()), 0);
    for (const auto &file : files) {
        unlink((folder + "/" + file.first).c_str());
        if (file.second) write_scratch_file(name + "/espeak-ng-data/" + file.first, *file.second);
    }
    return root;
}

// eSpeak NG 1.51 would call exit() here with its default options, and would
// deadlock on the next initialise unless the failed instance is unloaded. Its
// phondata and phonindex agree with each other, but not with eSpeak NG.
TEST_F(Phonemize, DataOfAnotherVersionFailsAndAGoodInitFollows) {
    std::string index = read_file(std::string(kSystemData) + "/phonindex");
    std::string data = read_file(std::string(kSystemData) + "/phondata");
    index[0] = data[0] = 0x7F;
    std::string path = data_folder_with("other-version", {{"phonindex", &index}, {"phondata", &data}});
    testing::internal::CaptureStderr();
    EXPECT_EQ(phonemize_init(path.c_str()), -1);
    std::string err = testing::internal::GetCapturedStderr();
    EXPECT_NE(err.find("Failed to initialize espeak-ng (code 0)\n"), std::string::npos) << err;
    EXPECT_FALSE(library_is_loaded("libespeak-ng.so.1"));

    ASSERT_EQ(phonemize_init(nullptr), 0);
    EXPECT_EQ(phonemize("Hello"), utf8("həlˈoʊ"));
    phonemize_terminate();
    ASSERT_EQ(phonemize_init(nullptr), 0);
    EXPECT_EQ(phonemize("Hello"), utf8("həlˈoʊ"));
}

// Damaged data files that crashed eSpeak NG 1.51 (phontab, phonindex) or gave
// wrong phonemes without a word (a cut phontab or dictionary) are refused
// before eSpeak NG reads them, with the file named.
TEST_F(Phonemize, DamagedDataFilesAreRefusedByName) {
    auto system_file = [](const char *file) { return read_file(std::string(kSystemData) + "/" + file); };
    auto half = [&](const char *file) { std::string s = system_file(file); return s.substr(0, s.size() / 2); };
    auto noise = [&](const char *file) {
        std::string s = system_file(file);
        uint32_t x = 12345;
        for (char &c : s) c = static_cast<char>((x = x * 1103515245u + 12345u) >> 24);
        return s;
    };
    const std::string empty;
    const std::string tab_half = half("phontab"), tab_noise = noise("phontab");
    const std::string index_half = half("phonindex"), index_noise = noise("phonindex");
    const std::string dict_half = half("en_dict"), dict_noise = noise("en_dict");
    struct Case {
        const char *file;
        const std::string *bytes;
        const char *reason;
    };
    const Case cases[] = {
        {"phontab", nullptr, "missing"},
        {"phontab", &empty, "its tables do not fill it"},
        {"phontab", &tab_half, "its tables do not fill it"},
        {"phontab", &tab_noise, "its tables do not fill it"},
        {"phonindex", &empty, "shorter than phontab's phonemes need"},
        {"phonindex", &index_half, "shorter than phontab's phonemes need"},
        {"phonindex", &index_noise, "its version is not phondata's"},
        {"phondata", &empty, "too short"},
        {"intonations", &empty, "empty"},
        {"en_dict", &empty, "not a dictionary eSpeak NG can read"},
        {"en_dict", &dict_half, "not a dictionary eSpeak NG can read"},
        {"en_dict", &dict_noise, "not a dictionary eSpeak NG can read"},
    };
    int n = 0;
    for (const Case &c : cases) {
        std::string path = data_folder_with("damaged-" + std::to_string(n++), {{c.file, c.bytes}});
        testing::internal::CaptureStderr();
        EXPECT_EQ(phonemize_init(path.c_str()), -1) << c.file;
        EXPECT_EQ(testing::internal::GetCapturedStderr(), "Unusable espeak-ng data file: " + path +
                                                              "/espeak-ng-data/" + c.file + " (" + c.reason + ")\n");
        EXPECT_FALSE(library_is_loaded("libespeak-ng.so.1"));
    }
    // The installed data passes, in both forms of the path.
    ASSERT_EQ(phonemize_init(kSystemData), 0);
    phonemize_terminate();
    ASSERT_EQ(phonemize_init(data_folder_with("intact", {}).c_str()), 0);
    EXPECT_EQ(phonemize("Hello"), utf8("həlˈoʊ"));
}

TEST_F(Phonemize, RepeatedInitAndTerminateDoNotHang) {
    for (int i = 0; i < 5; ++i) {
        ASSERT_EQ(phonemize_init(nullptr), 0);
        ASSERT_EQ(phonemize("Hi"), utf8("hˈaɪ"));
        phonemize_terminate();
        ASSERT_FALSE(library_is_loaded("libespeak-ng.so.1"));
    }
}

// ---- Loader: candidate path first, then the bare name ----

TEST_F(Phonemize, CandidateBesideTheDataFolderIsLoadedFirst) {
    std::string data = stub_data_path("full");
    ASSERT_EQ(phonemize_init(data.c_str()), 0);
    StubEspeak stub;
    ASSERT_TRUE(stub.loaded());
    EXPECT_EQ(stub.initialize_path(), data);
    EXPECT_EQ(stub.initialize_options(), 0x8000);  // don't exit
}

TEST_F(Phonemize, TrailingSeparatorLooksInsideTheFolder) {
    // The data eSpeak NG would find there is checked first: the installed one.
    symlink(kSystemData, (stub_dir("full") + "/espeak-ng-data").c_str());
    ASSERT_EQ(phonemize_init((stub_dir("full") + "/").c_str()), 0);
    EXPECT_TRUE(StubEspeak().loaded());
}

TEST_F(Phonemize, LastBackslashWinsOverALaterSlash) {
    // "<dir>/d\x/data": the candidate is "<dir>/d\" + library name.
    std::string dir = scratch_dir();
    std::string candidate = dir + "/d\\libespeak-ng.so.1";
    ASSERT_EQ(symlink(stub_library("full").c_str(), candidate.c_str()), 0);
    ASSERT_EQ(phonemize_init((dir + "/d\\x/data").c_str()), 0);
    EXPECT_TRUE(library_is_loaded(candidate));
}

TEST_F(Phonemize, NoSeparatorOrMissingCandidateFallsBackToTheBareName) {
    for (std::string path : {std::string("espeak-ng-data"), scratch_dir() + "/nowhere/data"}) {
        testing::internal::CaptureStderr();
        ASSERT_EQ(phonemize_init(path.c_str()), 0) << path;
        EXPECT_EQ(testing::internal::GetCapturedStderr(), "");
        EXPECT_FALSE(library_is_loaded(stub_library("full")));
        EXPECT_TRUE(library_is_loaded("libespeak-ng.so.1"));
        phonemize_terminate();
    }
}

TEST_F(Phonemize, OnlyTheFirst1004BytesOfTheDataPathAreSearched) {
    // The only separator lies beyond byte 1004, so there is no candidate.
    std::string path = stub_dir("full") + std::string(1100, 'x') + "/data";
    ASSERT_EQ(phonemize_init(path.c_str()), 0);
    EXPECT_FALSE(library_is_loaded(stub_library("full")));
}

TEST_F(Phonemize, MissingEntryPointReleasesTheLibrary) {
    testing::internal::CaptureStderr();
    EXPECT_EQ(phonemize_init(stub_data_path("no_terminate").c_str()), -1);
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "Failed to resolve espeak-ng functions\n");
    EXPECT_FALSE(library_is_loaded(stub_library("no_terminate")));
    ASSERT_EQ(phonemize_init(stub_data_path("full").c_str()), 0);
}

TEST_F(Phonemize, SecondInitIsANoOp) {
    ASSERT_EQ(phonemize_init(stub_data_path("full").c_str()), 0);
    ASSERT_EQ(phonemize_init("/elsewhere/data"), 0);
    StubEspeak stub;
    EXPECT_EQ(stub.initialize_path(), stub_data_path("full"));
}

TEST_F(Phonemize, InitializeFailureTerminatesAndUnloads) {
    setenv("STUB_ESPEAK_INIT_RESULT", "0", 1);
    testing::internal::CaptureStderr();
    EXPECT_EQ(phonemize_init(stub_data_path("full").c_str()), -1);
    unsetenv("STUB_ESPEAK_INIT_RESULT");
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "Failed to initialize espeak-ng (code 0)\n");
    EXPECT_FALSE(library_is_loaded(stub_library("full")));
    ASSERT_EQ(phonemize_init(stub_data_path("full").c_str()), 0);
}

// ---- Decoding and filtering of scripted clause strings ----

struct ClauseCase {
    const char *name;
    std::vector<std::string> clauses;
    Codepoints expected;
};

void PrintTo(const ClauseCase &c, std::ostream *os) { *os << c.name; }

class ClauseFilter : public Phonemize, public ::testing::WithParamInterface<ClauseCase> {};

TEST_P(ClauseFilter, DecodesAndFilters) {
    ASSERT_EQ(phonemize_init(stub_data_path("full").c_str()), 0);
    StubEspeak stub;
    stub.set_clauses(GetParam().clauses);
    EXPECT_EQ(phonemize("some text"), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Phonemize, ClauseFilter,
    ::testing::Values(
        ClauseCase{"TwoClausesAreSetApart", {"ab", "cd"}, {'a', 'b', ' ', 'c', 'd'}},
        ClauseCase{"GroupDropped", {"h(en)i"}, {'h', 'i'}},
        ClauseCase{"GroupsDoNotNest", {"a(x(y)z)w"}, {'a', 'z', ')', 'w'}},
        ClauseCase{"OpenGroupEndsWithItsClause", {"a(bc", "de"}, {'a', ' ', 'd', 'e'}},
        ClauseCase{"ClauseOfOnlyAGroupAddsNoSpace", {"(en)", "ab", "(en)", "cd"}, {'a', 'b', ' ', 'c', 'd'}},
        ClauseCase{"ZeroWidthCharactersDropped", {"a\u200Db\uFEFFc"}, {'a', 'b', 'c'}},
        ClauseCase{"StrayByteStandsForItself", {"a\x80" "b"}, {'a', 0x80, 'b'}},
        ClauseCase{"MultiByteForms", {"ə\u20ac\U0001F600"}, {0x259, 0x20AC, 0x1F600}},
        ClauseCase{"OverlongParenthesisOpensAGroup", {"a\xC0\xA8x)b"}, {'a', 'b'}},
        ClauseCase{"EmptyClausesAddNothing", {"", "a", "", "b", ""}, {'a', ' ', 'b'}},
        ClauseCase{"SequenceCutByTheNul", {"a\xE2\x82"}, {'a', 0x82}}),
    [](const auto &info) { return std::string(info.param.name); });

// Scripted pointers, as eSpeak NG leaves them: one character past the start
// of the next clause, or null after the last.
struct SpanCase {
    const char *name;
    std::string text;
    std::vector<std::string> clauses;
    std::vector<int> offsets;
    Codepoints expected;
};

void PrintTo(const SpanCase &c, std::ostream *os) { *os << c.name; }

class ClauseSpans : public Phonemize, public ::testing::WithParamInterface<SpanCase> {};

TEST_P(ClauseSpans, GiveEachClauseItsPunctuation) {
    ASSERT_EQ(phonemize_init(stub_data_path("full").c_str()), 0);
    StubEspeak stub;
    stub.set_clauses(GetParam().clauses);
    stub.set_offsets(GetParam().offsets);
    EXPECT_EQ(phonemize(GetParam().text.c_str()), GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Phonemize, ClauseSpans,
    ::testing::Values(
        SpanCase{"EveryMark", "a, b. c? d! e; f: g", {"A", "B", "C", "D", "E", "F", "G"},
                 {4, 7, 10, 13, 16, 19, -1},
                 {'A', ',', ' ', 'B', '.', ' ', 'C', '?', ' ', 'D', '!', ' ', 'E', ';', ' ', 'F', ':', ' ', 'G'}},
        SpanCase{"LastClauseKeepsItsMarkWithoutASpace", "a, b?", {"A", "B"}, {4, -1}, {'A', ',', ' ', 'B', '?'}},
        SpanCase{"NoMarkGivesOnlyTheSpace", "a b c", {"A", "C"}, {5, -1}, {'A', ' ', 'C'}},
        SpanCase{"BlanksBeforeTheNextClauseAreSkipped", "a,\t \n b", {"A", "B"}, {7, -1}, {'A', ',', ' ', 'B'}},
        SpanCase{"ThreeByteLookAhead", "a, \xE2\x82\xAC", {"A", "E"}, {6, -1}, {'A', ',', ' ', 'E'}},
        SpanCase{"FourByteLookAhead", "a; \xF0\x9F\x98\x80", {"A", "S"}, {7, -1}, {'A', ';', ' ', 'S'}},
        SpanCase{"FullwidthAndEllipsisAsASCII",
                 "a\xEF\xBC\x8C" "b\xE3\x80\x82" "c\xEF\xBC\x9F" "d\xE2\x80\xA6" "e\xEF\xBC\x81" "f\xEF\xBC\x9B"
                 "g\xEF\xBC\x9A" "h\xEF\xBC\x8E" "i",
                 {"A", "B", "C", "D", "E", "F", "G", "H", "I"},
                 {5, 9, 13, 17, 21, 25, 29, 33, -1},
                 {'A', ',', ' ', 'B', '.', ' ', 'C', '?', ' ', 'D', '.', ' ', 'E', '!', ' ', 'F', ';', ' ', 'G', ':', ' ',
                  'H', '.', ' ', 'I'}},
        SpanCase{"IdeographicSpaceIsBlank", "a\xE3\x80\x82\xE3\x80\x80" "b", {"A", "B"}, {8, -1}, {'A', '.', ' ', 'B'}},
        SpanCase{"OtherCharactersAreNoMarks", "a) b- c\" d", {"A", "B", "C", "D"}, {4, 7, 10, -1},
                 {'A', ' ', 'B', ' ', 'C', ' ', 'D'}},
        // A lone high byte (eSpeak NG's Latin-1 reading) is read ahead alone.
        SpanCase{"InvalidByteLookAhead", "a, \xE9x", {"A", "B"}, {4, -1}, {'A', ',', ' ', 'B'}},
        // Pointer at the NUL with the last character held, then one more call.
        SpanCase{"OneCharacterLastClause", "Hi. A", {"H", "A"}, {5, -1}, {'H', '.', ' ', 'A'}},
        SpanCase{"EmptyClauseLosesItsMark", "a. ?! b", {"A", "", "B"}, {4, 7, -1}, {'A', '.', ' ', 'B'}},
        // A pointer outside the text ends the loop: it is never read.
        SpanCase{"PointerOutsideTheText", "a, b", {"A", "B"}, {100000, -1}, {'A'}}),
    [](const auto &info) { return std::string(info.param.name); });

TEST_F(Phonemize, ScriptedCapacityCountsTheAddedCodePoints) {
    ASSERT_EQ(phonemize_init(stub_data_path("full").c_str()), 0);
    StubEspeak stub;
    stub.set_clauses({"ab", "cd"});
    EXPECT_EQ(phonemize("xyz", 3), (Codepoints{'a', 'b', ' '}));
    EXPECT_EQ(stub.phoneme_calls(), 2);
    stub.set_clauses({"ab", "cd"});
    stub.set_offsets({4, -1});
    EXPECT_EQ(phonemize("x, yz", 3), (Codepoints{'a', 'b', ','}));
    stub.set_clauses({"ab", "cd"});
    stub.set_offsets({4, -1});
    EXPECT_EQ(phonemize("x, yz", 4), (Codepoints{'a', 'b', ',', ' '}));
    stub.set_clauses({"ab", "cd"});
    stub.set_offsets({4, -1});
    EXPECT_EQ(phonemize("x, y.", 6), (Codepoints{'a', 'b', ',', ' ', 'c', 'd'}));
}

TEST_F(Phonemize, EmptyTextNeverReachesTheLibrary) {
    ASSERT_EQ(phonemize_init(stub_data_path("full").c_str()), 0);
    StubEspeak stub;
    stub.set_clauses({"ab"});
    EXPECT_EQ(phonemize(""), Codepoints{});
    EXPECT_EQ(stub.phoneme_calls(), 0);
    EXPECT_EQ(stub.voice_name(), "en-us");  // the voice is still selected first
}

// Words of 6 letters, a comma and a space (short clauses), cut to n bytes.
std::string words(size_t n) {
    std::string text;
    while (text.size() < n) text += "abcdef, ";
    return text.substr(0, n);
}

TEST_F(Phonemize, LongTextIsCutAtAWholeCharacter) {
    ASSERT_EQ(phonemize_init(stub_data_path("full").c_str()), 0);
    StubEspeak stub;
    stub.set_clauses({"a"});
    // "é" occupies bytes 8190-8191: it would be cut in half, so it goes whole.
    std::string text = words(8190) + "\xC3\xA9" + "tail";
    phonemize(text.c_str());
    EXPECT_EQ(stub.text_seen(), words(8190));
    // A 4-byte character ending exactly at byte 8191 stays.
    stub.set_clauses({"a"});
    text = words(8187) + "\xF0\x9F\x98\x80" + "tail";
    phonemize(text.c_str());
    EXPECT_EQ(stub.text_seen(), text.substr(0, 8191));
    stub.set_clauses({"a"});
    text = words(9000);
    phonemize(text.c_str());
    EXPECT_EQ(stub.text_seen(), words(8191));
}

struct WordCase {
    const char *name;
    std::string text;
    std::string seen;
};

void PrintTo(const WordCase &c, std::ostream *os) { *os << c.name; }

class LongWords : public Phonemize, public ::testing::WithParamInterface<WordCase> {};

TEST_P(LongWords, AreBrokenBeforeESpeakNGSeesThem) {
    ASSERT_EQ(phonemize_init(stub_data_path("full").c_str()), 0);
    StubEspeak stub;
    stub.set_clauses({"a"});
    phonemize(GetParam().text.c_str());
    EXPECT_EQ(stub.text_seen(), GetParam().seen);
}

const std::string kA128(128, 'a');
const std::string kE64 = [] {
    std::string s;
    for (int i = 0; i < 64; ++i) s += "\xC3\xA9";
    return s;
}();

const std::string kGrow42 = [] {
    std::string s;
    for (int i = 0; i < 42; ++i) s += "\xC8\xBA";  // Ⱥ
    return s;
}();

INSTANTIATE_TEST_SUITE_P(
    Phonemize, LongWords,
    ::testing::Values(
        WordCase{"RealWordsUntouched", "Donaudampfschifffahrtsgesellschaftskapit\xC3\xA4n sagt hallo.",
                 "Donaudampfschifffahrtsgesellschaftskapit\xC3\xA4n sagt hallo."},
        WordCase{"ExactlyTheLimitStays", kA128 + " b", kA128 + " b"},
        WordCase{"OneMoreByteBreaks", kA128 + "a", kA128 + " a"},
        // The second break also ends a piece of 250 characters (below).
        WordCase{"EveryLimitAgain", kA128 + kA128 + "x", kA128 + "|" + kA128 + " x"},
        WordCase{"BlanksStartANewWord", kA128 + "\t" + kA128.substr(0, 100), kA128 + "\t" + kA128.substr(0, 100)},
        WordCase{"BrokenBetweenCharacters", kE64 + "\xC3\xA9", kE64 + " \xC3\xA9"},
        // Ⱥ lower-cases to a three-byte character: it counts three.
        WordCase{"CaseGrowthCountsThree", kGrow42 + "\xC8\xBA", kGrow42 + " \xC8\xBA"},
        // After an invalid byte, high bytes count twice (eSpeak NG turns them into two).
        WordCase{"Latin1CountsDouble", "\xFF" + std::string(63, '\xE8') + "\xE8",
                 "\xFF" + std::string(63, '\xE8') + " \xE8"}),
    [](const auto &info) { return std::string(info.param.name); });

// Over-long clauses are spoken in pieces ("|" between them) of at most 250
// characters other than blanks, broken at a blank, after a period if one is there.
std::string repeat(const std::string &unit, int times) {
    std::string s;
    for (int i = 0; i < times; ++i) s += (i ? " " : "") + unit;
    return s;
}

const std::string kAb125 = repeat("ab", 125);

INSTANTIATE_TEST_SUITE_P(
    Clauses, LongWords,
    ::testing::Values(
        WordCase{"OrdinaryClauseStays", kAb125, kAb125},
        WordCase{"OneCharacterMoreBreaksAtTheLastBlank", kAb125 + "c", repeat("ab", 124) + "|abc"},
        WordCase{"BlanksDoNotCount", repeat("ab", 60) + "\n\t" + repeat("ab", 65),
                 repeat("ab", 60) + "\n\t" + repeat("ab", 65)},
        WordCase{"APeriodIsPreferred", repeat("ab", 10) + ". " + repeat("ab", 120),
                 repeat("ab", 10) + ".|" + repeat("ab", 120)},
        WordCase{"ClausePunctuationStartsAgain", repeat("ab", 120) + "; " + repeat("ab", 120) + "? " + kAb125,
                 repeat("ab", 120) + "; " + repeat("ab", 120) + "? " + kAb125},
        WordCase{"EveryPieceAgain", repeat("abcd", 150),
                 repeat("abcd", 62) + "|" + repeat("abcd", 62) + "|" + repeat("abcd", 26)}),
    [](const auto &info) { return std::string(info.param.name); });

// eSpeak NG 1.51 dropped the rest of such clauses silently: every piece, each
// spoken alone, is in the whole (the whole already in pieces, so the same).
TEST_F(Phonemize, LongClausesAreSpokenInFull) {
    ASSERT_EQ(phonemize_init(nullptr), 0);
    struct Case {
        const char *voice;
        std::vector<std::string> units;
    };
    auto times = [](std::vector<std::string> units, int n) {
        std::vector<std::string> out;
        for (int i = 0; i < n; ++i) out.insert(out.end(), units.begin(), units.end());
        return out;
    };
    std::vector<std::string> silent_then_words = times({"|"}, 320);
    silent_then_words.insert(silent_then_words.end(), {"hello", "world"});
    std::vector<std::string> quotes_then_numbers = times({"\""}, 200);
    for (const std::string &u : times({"1234567"}, 20)) quotes_then_numbers.push_back(u);
    const Case cases[] = {
        {"en-us", times({"1234567"}, 30)},      // 19 of the 30 numbers were spoken
        {"de", times({"1234567"}, 30)},
        {"en-us", times({"W", "X", "Y", "Z", "Q", "H", "J", "K", "B", "C"}, 40)},  // 299 words at most
        {"en-us", silent_then_words},          // silent words count too
        {"en-us", quotes_then_numbers},         // silent, but they take phonemes
        {"en-us", times({"\xCE\xB1\xCE\xB2\xCE\xB3\xCE\xB4\xCE\xB5"}, 60)},  // spelled Greek
    };
    for (const Case &c : cases) {
        std::string whole;
        Codepoints expected;
        for (size_t i = 0; i < c.units.size(); i += 5) {
            std::string piece;
            for (size_t k = i; k < i + 5 && k < c.units.size(); ++k) piece += (k > i ? " " : "") + c.units[k];
            whole += (i ? " " : "") + piece;
            Codepoints spoken = phonemize(piece.c_str(), 4096, c.voice);
            if (!expected.empty() && !spoken.empty()) expected.push_back(' ');
            expected.insert(expected.end(), spoken.begin(), spoken.end());
        }
        SCOPED_TRACE(whole.substr(0, 40));
        EXPECT_EQ(phonemize(whole.c_str(), 4096, c.voice), expected);
    }
}

// These crashed the host inside eSpeak NG 1.51 ("stack smashing detected").
TEST_F(Phonemize, WordsThatOverflowESpeakNGAreSpoken) {
    ASSERT_EQ(phonemize_init(nullptr), 0);
    const std::string cases[] = {
        "x." + std::string(200, 'a'),
        "hello x." + std::string(300, 'w'),
        "x." + kE64 + kE64,
        "Div\xD5.," + std::string(160, '\xE8') + ".",
        "x." + kGrow42 + kGrow42,
        "x." + [] {
            std::string s;
            for (int i = 0; i < 56; ++i) s += "\xC8\xBE";  // Ⱦ
            return s;
        }(),
    };
    for (const std::string &text : cases) EXPECT_GT(phonemize(text.c_str()).size(), 100u) << text;
}

// eSpeak NG 1.51 keeps memory for every voice selection: select only on change.
TEST_F(Phonemize, VoiceIsSelectedOnlyWhenItChanges) {
    ASSERT_EQ(phonemize_init(stub_data_path("full").c_str()), 0);
    StubEspeak stub;
    for (int i = 0; i < 3; ++i) phonemize("text", 16, "en-us");
    EXPECT_EQ(stub.voice_calls(), 1);
    phonemize("text", 16, "de");
    phonemize("text", 16, "en-us");
    EXPECT_EQ(stub.voice_calls(), 3);
    EXPECT_EQ(stub.voice_name(), "en-us");

    // A failed selection does not count as the selected voice.
    stub.set_voice_result(2);
    testing::internal::CaptureStderr();
    EXPECT_EQ(phonemize("text", 16, "xx"), Codepoints{-999});
    testing::internal::GetCapturedStderr();
    stub.set_voice_result(0);
    phonemize("text", 16, "en-us");
    EXPECT_EQ(stub.voice_calls(), 5);
}

TEST_F(Phonemize, ANewInstanceSelectsTheVoiceAgain) {
    ASSERT_EQ(phonemize_init(nullptr), 0);
    EXPECT_EQ(phonemize("Hello", 4096, "de"), utf8("hˈɛloː"));
    phonemize_terminate();
    ASSERT_EQ(phonemize_init(nullptr), 0);
    EXPECT_EQ(phonemize("Hello", 4096, "de"), utf8("hˈɛloː"));
}

// Language codes that are no voice name ("en-gb", "fr-fr") select by language.
TEST_F(Phonemize, LanguageCodesSelectAVoiceByLanguage) {
    ASSERT_EQ(phonemize_init(nullptr), 0);
    EXPECT_EQ(phonemize("Bonjour", 4096, "fr-fr"), phonemize("Bonjour", 4096, "fr"));
    EXPECT_EQ(phonemize("Hello", 4096, "en-gb"), phonemize("Hello", 4096, "en"));
    EXPECT_NE(phonemize("Hello", 4096, "en-gb"), phonemize("Hello", 4096, "en-us"));
    // eSpeak NG's language match is by prefix: "no-such-voice" would be Norwegian.
    testing::internal::CaptureStderr();
    EXPECT_EQ(phonemize("Hello", 4096, "no-such-voice"), Codepoints{-999});
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "Failed to set espeak voice: no-such-voice\n");
    testing::internal::CaptureStderr();
    EXPECT_EQ(phonemize("Hello", 4096, "xx-no-such"), Codepoints{-999});
    EXPECT_EQ(testing::internal::GetCapturedStderr(), "Failed to set espeak voice: xx-no-such\n");
}

// eSpeak NG's initialise set LC_CTYPE to C.UTF-8 for good. The host's locale
// survives now, and the phonemes are those eSpeak NG gives under its own choice.
TEST_F(Phonemize, TheHostLocaleSurvivesAndThePhonemesStay) {
    const std::string german = german_locale();
    ASSERT_EQ(german, "de_DE.UTF-8") << "localedef failed";
    const std::pair<const char *, const char *> corpus[] = {
        {"en-us", "Hello world, a na\xC3\xAFve caf\xC3\xA9 costs $3.50."},
        {"de", "Gr\xC3\xBC\xC3\x9F" "e aus M\xC3\xBCnchen: 3,5 \xC3\x84pfel f\xC3\xBCr 12 \xE2\x82\xAC."},
        {"fr", "O\xC3\xB9 est l'h\xC3\xB4pital? \xC3\x87" "a co\xC3\xBBte 12,50 euros."},
        {"tr", "\xC4\xB0stanbul'da \xC4\xB1l\xC4\xB1k bir g\xC3\xBCn, I\xC5\x9F\xC4\xB1k."},
        {"ru", "\xD0\xA1\xD1\x8A\xD0\xB5\xD1\x88\xD1\x8C \xD0\xB6\xD0\xB5 \xD0\xB5\xD1\x89\xD1\x91 "
               "\xD0\x91\xD1\x83\xD0\xBB\xD0\xBE\xD0\xBA."},
        {"el", "\xCE\x9A\xCE\xB1\xCE\xBB\xCE\xB7\xCE\xBC\xCE\xAD\xCF\x81\xCE\xB1 "
               "\xCE\xBA\xCF\x8C\xCF\x83\xCE\xBC\xCE\xB5"},
        {"cmn", "\xE4\xBD\xA0\xE5\xA5\xBD\xE4\xB8\x96\xE7\x95\x8C"},
        {"hi", "\xE0\xA4\xA8\xE0\xA4\xAE\xE0\xA4\xB8\xE0\xA5\x8D\xE0\xA4\xA4\xE0\xA5\x87"},
        {"ar", "\xD9\x85\xD8\xB1\xD8\xAD\xD8\xA8\xD8\xA7"},
        {"en-us", "\xD0\x96 \xCE\xA9 \xC8\xBA \xF0\x9F\x98\x80"},  // spelled and named
    };
    auto speak_corpus = [&](const char *host) {
        EXPECT_NE(setlocale(LC_ALL, host), nullptr) << host;
        const std::string chosen = setlocale(LC_ALL, nullptr);
        EXPECT_EQ(phonemize_init(nullptr), 0);
        EXPECT_EQ(setlocale(LC_ALL, nullptr), chosen) << "after init";
        std::vector<Codepoints> spoken;
        for (const auto &entry : corpus) spoken.push_back(phonemize(entry.second, 4096, entry.first));
        EXPECT_EQ(setlocale(LC_ALL, nullptr), chosen) << "after the requests";
        phonemize_terminate();
        EXPECT_EQ(setlocale(LC_ALL, nullptr), chosen) << "after terminate";
        return spoken;
    };
    const std::vector<Codepoints> reference = speak_corpus("C.UTF-8");  // what eSpeak NG sets
    for (const Codepoints &c : reference) EXPECT_GT(c.size(), 3u);
    EXPECT_EQ(speak_corpus("C"), reference);
    EXPECT_EQ(speak_corpus(german.c_str()), reference);
    // One category of the host's own is kept too.
    setlocale(LC_ALL, "C");
    setlocale(LC_NUMERIC, german.c_str());
    const std::string mixed = setlocale(LC_ALL, nullptr);
    EXPECT_EQ(speak_corpus(mixed.c_str()), reference);
    setlocale(LC_ALL, "C");
}

// eSpeak NG keeps memory for every failed selection: a refused name is not tried again.
TEST_F(Phonemize, ARefusedVoiceIsNotTriedAgain) {
    ASSERT_EQ(phonemize_init(stub_data_path("full").c_str()), 0);
    StubEspeak stub;
    stub.set_voice_result(2);
    testing::internal::CaptureStderr();
    for (int i = 0; i < 3; ++i) EXPECT_EQ(phonemize("text", 16, "xx"), Codepoints{-999});
    EXPECT_EQ(testing::internal::GetCapturedStderr(),
              "Failed to set espeak voice: xx\nFailed to set espeak voice: xx\nFailed to set espeak voice: xx\n");
    EXPECT_EQ(stub.voice_calls(), 1);
    // A new instance forgets: the data may have changed.
    stub.set_voice_result(0);
    phonemize_terminate();
    ASSERT_EQ(phonemize_init(stub_data_path("full").c_str()), 0);
    StubEspeak again;
    EXPECT_EQ(phonemize("text", 16, "xx").size(), 0u);
    EXPECT_EQ(again.voice_name(), "xx");
}

// A candidate library beside the data path is loaded only from a folder no
// one else may write to; otherwise the bare name is loaded instead.
TEST_F(Phonemize, CandidateInAFolderOthersMayWriteIsSkipped) {
    const std::string folder = scratch_dir() + "/candidate-folder";
    mkdir(folder.c_str(), 0755);
    const std::string library = folder + "/libespeak-ng.so.1";
    write_scratch_file("candidate-folder/libespeak-ng.so.1", read_file(stub_library("full")));
    const std::string data = folder + "/data";  // missing: eSpeak NG takes its default

    struct Case {
        mode_t folder_mode, file_mode;
        bool loaded;
    };
    for (const Case &c : {Case{0755, 0644, true}, Case{0777, 0644, false}, Case{0775, 0644, false},
                          Case{0755, 0666, false}, Case{0755, 0664, false}}) {
        SCOPED_TRACE(std::to_string(c.folder_mode) + " " + std::to_string(c.file_mode));
        chmod(folder.c_str(), c.folder_mode);
        chmod(library.c_str(), c.file_mode);
        ASSERT_EQ(phonemize_init(data.c_str()), 0);
        EXPECT_EQ(library_is_loaded(library), c.loaded);
        phonemize_terminate();
    }
    chmod(folder.c_str(), 0755);
}
