// The tools' pronunciation lexicon: its file format, and which words it
// replaces (whole words, by its case rules).
#include "lexicon.h"
#include "ssml.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>

namespace {

orvel_tools::Lexicon lexicon_of(const std::string &content) {
    orvel_tools::Lexicon lexicon;
    std::string error;
    EXPECT_TRUE(lexicon.parse(content, "test.lex", &error)) << error;
    return lexicon;
}

TEST(Lexicon, ReplacesWholeWordsByItsCaseRules) {
    orvel_tools::Lexicon lexicon = lexicon_of(
        "\xEF\xBB\xBF# names\n"
        "nginx   engine x\n"
        "\n"
        "   SQL\tsequel  \r\n"
        "us      you ess\n"
        "US      you ess ay\n"
        "don't   do not\n"
        "e-mail  email\n"
        "Dvo\xC5\x99\xC3\xA1k  dvorzhak\n"
        "2fa     two factor");
    EXPECT_EQ(lexicon.size(), 8u);
    struct Row {
        const char *text, *expected;
    } rows[] = {
        {"nginx, Nginx and NGINX.", "engine x, engine x and engine x."},
        {"nginxes and anginx stay", "nginxes and anginx stay"},
        {"SQL but not sql or Sql", "sequel but not sql or Sql"},
        {"us, Us, US", "you ess, you ess, you ess ay"},
        {"I don't; I don'tt", "I do not; I don'tt"},
        {"e-mail, re-e-mail, -e-mail-", "email, re-e-mail, -email-"},
        {"\xE2\x80\x9C" "Dvo\xC5\x99\xC3\xA1k\xE2\x80\x9D played", "\xE2\x80\x9C" "dvorzhak\xE2\x80\x9D played"},
        {"2fa 2FA 22fa", "two factor two factor 22fa"},
        {"'nginx' (nginx)\nnginx", "'engine x' (engine x)\nengine x"},
    };
    for (const Row &row : rows) EXPECT_EQ(lexicon.apply(row.text), row.expected) << row.text;
    EXPECT_EQ(orvel_tools::Lexicon().apply("nginx"), "nginx");
}

TEST(Lexicon, RefusesEntriesItCannotUseWithTheirLine) {
    struct Row {
        const char *content, *error;
    } rows[] = {
        {"ok fine\nnginx\n", "test.lex:2: 'nginx' has nothing to say instead"},
        {"nginx   \t \n", "test.lex:1: 'nginx' has nothing to say instead"},
        {"\n\ne.g. for example\n", "test.lex:3: 'e.g.' is not one word: letters and digits, with ' or - inside"},
        {"-x minus x\n", "test.lex:1: an entry starts with a word (letters or digits)"},
    };
    for (const Row &row : rows) {
        orvel_tools::Lexicon lexicon;
        std::string error;
        EXPECT_FALSE(lexicon.parse(row.content, "test.lex", &error)) << row.content;
        EXPECT_EQ(error, row.error);
    }
    orvel_tools::Lexicon lexicon;
    std::string error;
    EXPECT_FALSE(lexicon.load("/nonexistent/lexicon.txt", &error));
    EXPECT_EQ(error, "cannot open the lexicon '/nonexistent/lexicon.txt': No such file or directory");
    EXPECT_FALSE(lexicon.load("/tmp", &error));
    EXPECT_EQ(error, "cannot read the lexicon '/tmp': it is a directory");
}

TEST(Lexicon, AppliesToSsmlTextAfterSubAndSayAs) {
    orvel_tools::Lexicon lexicon = lexicon_of("www world wide web\nb bee\nnginx engine x\n");
    std::string warning;
    auto text_of = [&](const std::string &input) {
        std::string out;
        for (const textplan::Request &r : orvel_tools::plan_speech(input, false, &warning, &lexicon))
            out += r.text + "|";
        return out;
    };
    EXPECT_EQ(text_of("nginx <b>tag</b>"), "engine x <bee>tag</bee>|");  // plain text: every word
    EXPECT_EQ(text_of("<speak>nginx <b>tag</b> <sub alias=\"www\">W3</sub></speak>"), "engine x tag world wide web|");
    EXPECT_EQ(text_of("<speak><say-as interpret-as=\"characters\">abc</say-as></speak>"), "a bee c|");
}

}  // namespace
