// Wyoming framing and the streamed-text cut, on hand-made byte streams.
#include "stream_text.h"
#include "wyoming_codec.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace {

using nlohmann::json;
using wyoming::Event;
using wyoming::Reader;

struct Outcome {
    std::vector<Event> events;
    std::vector<std::string> errors;  // "malformed: ..." or "fatal: ..."
};

// Feeds bytes in pieces of `step` bytes and collects everything the reader gives.
Outcome read_all(const std::string &bytes, size_t step = 0, const wyoming::Limits &limits = wyoming::Limits()) {
    Reader reader(limits);
    Outcome out;
    if (step == 0) step = bytes.size() ? bytes.size() : 1;
    for (size_t at = 0; at <= bytes.size(); at += step) {
        reader.feed(bytes.data() + std::min(at, bytes.size()), std::min(step, bytes.size() - std::min(at, bytes.size())));
        for (;;) {
            Event event;
            std::string error;
            Reader::Result result = reader.next(&event, &error);
            if (result == Reader::Result::NeedMore) break;
            if (result == Reader::Result::Event) out.events.push_back(event);
            if (result == Reader::Result::Malformed) out.errors.push_back("malformed: " + error);
            if (result == Reader::Result::Fatal) {
                out.errors.push_back("fatal: " + error);
                return out;
            }
        }
    }
    return out;
}

TEST(WyomingCodec, EncodeWritesDataAsItsOwnBlockThenThePayload) {
    Event event;
    event.type = "audio-chunk";
    event.data = {{"rate", 22050}, {"width", 2}, {"channels", 1}};
    event.payload = std::string("\x01\x00\xff\x7f", 4);
    std::string bytes = wyoming::encode(event);
    std::string data = R"({"channels":1,"rate":22050,"width":2})";
    EXPECT_EQ(bytes, R"({"data_length":37,"payload_length":4,"type":"audio-chunk","version":"1.7.0"})"
                     "\n" + data + std::string("\x01\x00\xff\x7f", 4));

    Event bare;
    bare.type = "audio-stop";
    EXPECT_EQ(wyoming::encode(bare), "{\"type\":\"audio-stop\",\"version\":\"1.7.0\"}\n");

    // Text from a client is not always valid UTF-8; what goes out always is.
    Event odd;
    odd.type = "error";
    odd.data = {{"text", std::string("bad \xff byte")}};
    EXPECT_NE(wyoming::encode(odd).find("bad \xEF\xBF\xBD byte"), std::string::npos);
}

TEST(WyomingCodec, ReadsDataFromTheHeaderTheBlockOrBoth) {
    std::string block = R"({"text":"from the block","extra":1})";
    std::string bytes = "{\"type\":\"describe\"}\n"
                        "{\"type\":\"synthesize\",\"data\":{\"text\":\"in the header\"}}\n"
                        "{\"type\":\"synthesize\",\"data\":{\"text\":\"header\",\"voice\":{\"name\":\"v\"}},"
                        "\"data_length\":" + std::to_string(block.size()) + ",\"payload_length\":3}\n" + block + "xyz";
    for (size_t step : {size_t(0), size_t(1), size_t(7)}) {
        SCOPED_TRACE("fed in pieces of " + std::to_string(step));
        Outcome out = read_all(bytes, step);
        ASSERT_EQ(out.errors.size(), 0u);
        ASSERT_EQ(out.events.size(), 3u);
        EXPECT_EQ(out.events[0].type, "describe");
        EXPECT_TRUE(out.events[0].data.empty());
        EXPECT_EQ(out.events[1].data, json({{"text", "in the header"}}));
        EXPECT_EQ(out.events[2].data, json({{"text", "from the block"}, {"voice", {{"name", "v"}}}, {"extra", 1}}));
        EXPECT_EQ(out.events[2].payload, "xyz");
    }
}

TEST(WyomingCodec, RoundTripsWhatItWrites) {
    Event event;
    event.type = "synthesize";
    event.data = {{"text", "Grüße, 世界 \"quoted\"\n"}, {"voice", {{"name", "a"}, {"speaker", "b"}}}};
    event.payload = std::string("\0\n{}", 4);
    Outcome out = read_all(wyoming::encode(event) + wyoming::encode(event), 3);
    ASSERT_EQ(out.events.size(), 2u);
    for (const Event &e : out.events) {
        EXPECT_EQ(e.type, event.type);
        EXPECT_EQ(e.data, event.data);
        EXPECT_EQ(e.payload, event.payload);
    }
}

TEST(WyomingCodec, SkipsWhatItCannotUseAndGoesOn) {
    const char *const bad_lines[] = {
        "not json\n",
        "[1,2]\n",
        "{\"data\":{}}\n",                                  // no type
        "{\"type\":\"\"}\n",                                // empty type
        "{\"type\":7}\n",
        "{\"type\":\"x\",\"data\":[1]}\n",                  // data not an object
        "{\"type\":\"x\",\"data_length\":-1}\n",
        "{\"type\":\"x\",\"data_length\":1.5}\n",
        "{\"type\":\"x\",\"payload_length\":\"3\"}\n",
        "{\"type\":\"x\",\"data_length\":4}\n[1]\n",        // a block that is not an object
        "{\"type\":\"x\",\"data_length\":3}\n{\"a",         // a block that is not JSON
        "{\"type\":\"\xff\"}\n",                            // not UTF-8
    };
    for (const char *bad : bad_lines) {
        SCOPED_TRACE(bad);
        Outcome out = read_all(std::string(bad) + "{\"type\":\"ping\"}\n", 2);
        ASSERT_EQ(out.errors.size(), 1u);
        EXPECT_EQ(out.errors[0].compare(0, 10, "malformed:"), 0) << out.errors[0];
        ASSERT_EQ(out.events.size(), 1u);
        EXPECT_EQ(out.events[0].type, "ping");
    }
    // Blank lines, CR LF endings and null lengths are fine.
    Outcome out = read_all("\n\r\n{\"type\":\"a\",\"data\":null,\"data_length\":null}\r\n{\"type\":\"b\"}\n");
    EXPECT_EQ(out.errors.size(), 0u);
    ASSERT_EQ(out.events.size(), 2u);
    EXPECT_EQ(out.events[1].type, "b");
}

TEST(WyomingCodec, LengthsOverTheLimitsEndTheStream) {
    wyoming::Limits limits;
    limits.max_header_bytes = 100;
    limits.max_data_bytes = 50;
    limits.max_payload_bytes = 60;
    struct Case {
        std::string bytes;
        bool fatal;
    } cases[] = {
        {"{\"type\":\"x\",\"data_length\":51}\n", true},
        {"{\"type\":\"x\",\"data_length\":50}\n" + std::string(50, ' '), false},  // spaces: JSON with no value
        {"{\"type\":\"x\",\"payload_length\":61}\n", true},
        {"{\"type\":\"x\",\"payload_length\":60}\n" + std::string(60, 'p'), false},
        {"{\"type\":\"x\",\"payload_length\":99999999999999999999999}\n", false},  // not an integer we can hold
        {std::string(102, ' '), true},                                       // a header that never ends
        {"{\"type\":\"" + std::string(89, 'x') + "\"}\r\n", false},         // 100 bytes and CR LF
        {"{\"type\":\"" + std::string(120, 'x') + "\"}\n", true},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.bytes.substr(0, 60));
        Outcome out = read_all(c.bytes, 1, limits);
        bool fatal = !out.errors.empty() && out.errors.back().compare(0, 6, "fatal:") == 0;
        EXPECT_EQ(fatal, c.fatal) << (out.errors.empty() ? "" : out.errors.back());
    }
}

TEST(StreamText, TakesOnlySentencesKnownToBeComplete) {
    struct Step {
        const char *piece;
        const char *complete;  // what the piece completes
        const char *rest;      // what stays buffered
    };
    // Each row feeds one piece into the same buffer.
    const Step steps[] = {
        {"Hello wor", "", "Hello wor"},
        {"ld. This is", "Hello world.", "This is"},
        {" Mr. Smith", "", "This is Mr. Smith"},                     // an abbreviation ends nothing
        {" speaking. ", "", "This is Mr. Smith speaking. "},         // the end is not known yet
        {"it costs 3.", "", "This is Mr. Smith speaking. it costs 3."},  // lower case goes on
        {"5 euros! Yes", "This is Mr. Smith speaking. it costs 3.5 euros!", "Yes"},
        {"\n\nNew paragraph", "Yes", "New paragraph"},
        {" here.\n\n", "New paragraph here.", ""},
        {"   ", "", "   "},  // space only: kept, it still separates words
    };
    std::string buffer;
    for (const Step &step : steps) {
        SCOPED_TRACE(step.piece);
        buffer += step.piece;
        EXPECT_EQ(textplan::take_complete_sentences(&buffer), step.complete);
        EXPECT_EQ(buffer, step.rest);
    }
    // Several at once, paragraphs joined by a blank line.
    buffer = "One. Two!\n\nThree? Fo";
    EXPECT_EQ(textplan::take_complete_sentences(&buffer), "One. Two!\n\nThree?");
    EXPECT_EQ(buffer, "Fo");
}

}  // namespace
