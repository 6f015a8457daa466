// The tools' SSML reader: markup in, the parts (text, pauses, rates) and the
// planned requests out; hostile or broken markup read as plain text.
#include "ssml.h"

#include <gtest/gtest.h>

#include <string>

namespace {

using orvel_tools::parse_ssml;
using orvel_tools::SpeechPart;

// "[500]" a break, "#name" a mark, "~" before text that continues its
// sentence, "@2" after text at twice the rate, "{name}" after text in a voice.
std::string describe(const orvel_tools::SsmlDocument &document) {
    std::string out;
    for (const SpeechPart &part : document.parts) {
        if (part.kind == SpeechPart::Kind::Break) {
            out += "[" + std::to_string(static_cast<int>(part.break_ms)) + "]";
        } else if (part.kind == SpeechPart::Kind::Mark) {
            out += "#" + part.text;
        } else {
            out += (part.continues ? "~" : "") + part.text;
            if (part.rate != 1.0) {
                char rate[32];
                std::snprintf(rate, sizeof rate, "@%g", part.rate);
                out += rate;
            }
            if (!part.voice.empty()) out += "{" + part.voice + "}";
        }
        out += "|";
    }
    return out;
}

std::string read(const std::string &ssml) {
    orvel_tools::SsmlDocument document = parse_ssml(ssml);
    EXPECT_EQ(document.warning, "") << ssml;
    return describe(document);
}

TEST(Ssml, ElementsBecomeTextPausesAndRates) {
    struct Row {
        const char *name, *ssml, *expected;
    } rows[] = {
        {"plain", "<speak>Hello world.</speak>", "Hello world.|"},
        {"blanks collapse", "<speak>\n  Hello\n\t world.  </speak>", "Hello world.|"},
        {"break by time", "<speak>One. <break time=\"500ms\"/> Two.</speak>", "One.|[500]|Two.|"},
        {"break in seconds", "<speak>One<break time='1.5s'/>two</speak>", "One|[1500]|~two|"},
        {"break by strength", "<speak>a<break strength=\"x-strong\"/>b<break strength='none'/>c</speak>",
         "a|[1000]|~b|[0]|~c|"},
        {"break, bad time: medium", "<speak>a<break time=\"soon\"/>b</speak>", "a|[400]|~b|"},
        {"break bounded", "<speak>a<break time=\"99999s\"/>b</speak>", "a|[10000]|~b|"},
        {"paragraphs and sentences", "<speak><p><s>One</s><s>Two</s></p><p>Three</p></speak>", "One|Two|Three|"},
        {"sub", "<speak>The <sub alias=\"World Wide Web\">WWW</sub> is big.</speak>", "The World Wide Web is big.|"},
        {"characters", "<speak><say-as interpret-as=\"characters\">abc</say-as></speak>", "a b c|"},
        {"spell-out, UTF-8", "<speak><say-as interpret-as=\"spell-out\">\xC3\xA9t\xC3\xA9</say-as></speak>",
         "\xC3\xA9 t \xC3\xA9|"},
        {"digits", "<speak>PIN <say-as interpret-as=\"digits\">1234</say-as>.</speak>", "PIN 1 2 3 4.|"},
        {"telephone", "<speak><say-as interpret-as=\"telephone\">+1 (555) 123-4567</say-as></speak>",
         "plus 1, 5 5 5, 1 2 3, 4 5 6 7|"},
        {"ordinals", "<speak><say-as interpret-as=\"ordinal\">1</say-as> <say-as interpret-as=\"ordinal\">12"
                     "</say-as> <say-as interpret-as=\"ordinal\">22</say-as> <say-as interpret-as=\"ordinal\">"
                     "113</say-as></speak>",
         "1st 12th 22nd 113th|"},
        {"ordinal of a word", "<speak><say-as interpret-as=\"ordinal\">first</say-as></speak>", "first|"},
        {"cardinal and date as written", "<speak><say-as interpret-as=\"cardinal\">42</say-as> on "
                                         "<say-as interpret-as=\"date\">2024-03-12</say-as></speak>",
         "42 on 2024-03-12|"},
        {"prosody", "<speak>Slow <prosody rate=\"fast\">quick</prosody> slow.</speak>", "Slow|~quick@1.5|~slow.|"},
        {"prosody percent, nested", "<speak><prosody rate=\"200%\">a <prosody rate=\"-50%\">b</prosody></prosody>"
                                    "</speak>",
         "a@2|~b|"},
        {"prosody bounded", "<speak><prosody rate=\"100\">a</prosody></speak>", "a@4|"},
        {"prosody without rate", "<speak>a <prosody pitch=\"high\">b</prosody></speak>", "a b|"},
        {"voice", "<speak>Hi. <voice name=\"rms\">Hello.</voice></speak>", "Hi.|Hello.{rms}|"},
        {"mark", "<speak>Go <mark name=\"here\"/>on.</speak>", "Go|#here|~on.|"},
        {"emphasis and unknown elements", "<speak>Very <emphasis>big</emphasis> <foo x=\"1\">news</foo>.</speak>",
         "Very big news.|"},
        {"entities and CDATA", "<speak>1 &lt; 2 &amp; <![CDATA[<b>]]>.</speak>", "1 < 2 & <b>.|"},
        {"namespaces", "<speak xmlns=\"http://www.w3.org/2001/10/synthesis\" xml:lang=\"en\">a<s:break "
                       "xmlns:s=\"x\" time=\"20ms\"/>b</speak>",
         "a|[20]|~b|"},
        {"xml declaration", "<?xml version=\"1.0\"?><speak>Hi.</speak>", "Hi.|"},
    };
    for (const Row &row : rows) EXPECT_EQ(read(row.ssml), row.expected) << row.name;
}

TEST(Ssml, BrokenMarkupIsSpokenAsPlainTextWithAWarning) {
    struct Row {
        const char *name, *ssml, *expected, *reason;
    } rows[] = {
        {"mismatched tag", "<speak>bad <b>markup</speak>", "bad markup|", "mismatched tag"},
        {"unclosed", "<speak>Hello", "Hello|", "no element found"},
        {"stray less-than", "<speak>I <3 you</speak>", "I <3 you|", "line 1"},
        {"unknown entity", "<speak>Fish &chips;</speak>", "Fish &chips;|", "undefined entity"},
        {"junk after the root", "<speak>a</speak> b", "a b|", "junk after document element"},
        {"bad UTF-8", "<speak>caf\xE9</speak>", "caf\xE9|", "not well-formed"},
    };
    for (const Row &row : rows) {
        orvel_tools::SsmlDocument document = parse_ssml(row.ssml);
        EXPECT_EQ(describe(document), row.expected) << row.name;
        EXPECT_NE(document.warning.find(row.reason), std::string::npos) << row.name << ": " << document.warning;
        EXPECT_NE(document.warning.find("spoken as plain text"), std::string::npos) << row.name;
    }
}

TEST(Ssml, HostileMarkupIsRefusedOrFlattened) {
    // A reader quadratic in the depth would not finish within the test's timeout.
    // Billion laughs: a document type declaration is refused before any entity is defined.
    std::string laughs = "<?xml version=\"1.0\"?><!DOCTYPE lolz [<!ENTITY lol \"lol\">";
    for (int i = 1; i < 10; ++i) {
        laughs += "<!ENTITY lol" + std::to_string(i) + " \"";
        for (int j = 0; j < 10; ++j) laughs += "&lol" + (i > 1 ? std::to_string(i - 1) : std::string()) + ";";
        laughs += "\">";
    }
    laughs += "]><speak>&lol9;</speak>";
    orvel_tools::SsmlDocument document = parse_ssml(laughs);
    EXPECT_NE(document.warning.find("document type declaration"), std::string::npos) << document.warning;
    ASSERT_EQ(document.parts.size(), 1u);
    EXPECT_LT(document.parts[0].text.size(), laughs.size());

    // An external entity: refused the same way, the file never read.
    document = parse_ssml("<!DOCTYPE speak [<!ENTITY x SYSTEM \"file:///etc/passwd\">]><speak>&x;</speak>");
    EXPECT_NE(document.warning.find("document type declaration"), std::string::npos);
    EXPECT_EQ(document.parts[0].text.find("root:"), std::string::npos);

    // 1 MB of nesting: every element past the depth bound is read for its text.
    std::string deep;
    const int levels = 150000;  // 7 bytes a level, open and close
    for (int i = 0; i < levels; ++i) deep += "<p>";
    deep += "word";
    for (int i = 0; i < levels; ++i) deep += "</p>";
    ASSERT_GE(deep.size(), 1000000u);
    EXPECT_EQ(read("<speak>" + deep + "</speak>"), "word|");
    std::string prosody;
    for (int i = 0; i < levels; ++i) prosody += "<prosody rate=\"x-fast\">";
    prosody += "deep";
    for (int i = 0; i < levels; ++i) prosody += "</prosody>";
    EXPECT_EQ(read("<speak>" + prosody + "</speak>"), "deep@4|");
}

TEST(Ssml, WhatCountsAsSsml) {
    EXPECT_TRUE(orvel_tools::looks_like_ssml("<speak>Hi</speak>"));
    EXPECT_TRUE(orvel_tools::looks_like_ssml("\xEF\xBB\xBF \n<speak version=\"1.1\">"));
    EXPECT_TRUE(orvel_tools::looks_like_ssml("<?xml version=\"1.0\"?><speak/>"));
    EXPECT_FALSE(orvel_tools::looks_like_ssml("Say <speak> aloud"));
    EXPECT_FALSE(orvel_tools::looks_like_ssml("<b>bold</b>"));
    EXPECT_EQ(orvel_tools::strip_markup("a<b c='d'>e</b> &amp; 1 < 2 &lt;3"), "a e  & 1 < 2 <3");
}

TEST(Ssml, PlannedRequestsCarryPausesRatesAndSentenceStarts) {
    std::string warning;
    std::vector<textplan::Request> requests = orvel_tools::plan_speech(
        "<speak>One. Two <break time=\"300ms\"/> three. <prosody rate=\"50%\">Slow.</prosody>"
        "<break time='100ms'/><break time='200ms'/><p>Last</p></speak>",
        false, &warning);
    EXPECT_EQ(warning, "");
    std::string out;
    for (const textplan::Request &r : requests) {
        char line[128];
        std::snprintf(line, sizeof line, "%s%s +%g @%g|", r.starts_sentence ? "^" : "", r.text.c_str(), r.pause_ms,
                      r.rate);
        out += line;
    }
    EXPECT_EQ(out, "^One. +0 @1|^Two +0 @1|three. +300 @1|^Slow. +0 @0.5|^Last +300 @1|");

    // Plain text is planned as it always was; --ssml reads markup that does not start with <speak.
    EXPECT_EQ(orvel_tools::plan_speech("<s>One</s>", false, &warning)[0].text, "<s>One</s>");
    EXPECT_EQ(orvel_tools::plan_speech("<s>One</s>", true, &warning)[0].text, "One");
}

}  // namespace
