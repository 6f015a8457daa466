// Captions: cues built from the samples written, and their two file formats.
#include "captions.h"

#include <gtest/gtest.h>

namespace {

using orvel_tools::CaptionFormat;

TEST(Captions, CuesFollowSentencesAndTheSamples) {
    orvel_tools::CueBuilder builder;
    builder.add("One.", true, 0, 16000);
    builder.add("Two, a long", true, 19200, 30000);   // the pause before it is left out
    builder.add("sentence in pieces.", false, 30000, 40000);
    builder.add("Three.", false, 48000, 64000);       // continues after an SSML break
    ASSERT_EQ(builder.cues().size(), 2u);
    EXPECT_EQ(builder.cues()[1].start, 19200u);
    EXPECT_EQ(builder.cues()[1].end, 64000u);
    EXPECT_EQ(builder.cues()[1].text, "Two, a long sentence in pieces. Three.");
}

TEST(Captions, WebVttAndSubRipFiles) {
    std::vector<orvel_tools::Cue> cues = {
        {0, 11025, "Fish & chips <b> -->"},
        {22049, 3600ull * 22050 + 61 * 22050 + 11, "Line\none"},  // past an hour; rounded to the millisecond
    };
    EXPECT_EQ(orvel_tools::format_captions(cues, 22050, CaptionFormat::WebVtt),
              "WEBVTT\n\n"
              "1\n00:00:00.000 --> 00:00:00.500\nFish &amp; chips &lt;b&gt; --&gt;\n\n"
              "2\n00:00:01.000 --> 01:01:01.000\nLine one\n\n");
    EXPECT_EQ(orvel_tools::format_captions(cues, 22050, CaptionFormat::SubRip),
              "1\n00:00:00,000 --> 00:00:00,500\nFish & chips <b> -->\n\n"
              "2\n00:00:01,000 --> 01:01:01,000\nLine one\n\n");
    EXPECT_EQ(orvel_tools::format_captions({}, 16000, CaptionFormat::WebVtt), "WEBVTT\n\n");

    CaptionFormat format = CaptionFormat::SubRip;
    EXPECT_TRUE(orvel_tools::caption_format_for("out.VTT", &format));
    EXPECT_EQ(format, CaptionFormat::WebVtt);
    EXPECT_TRUE(orvel_tools::caption_format_for("dir.vtt/out.srt", &format));
    EXPECT_EQ(format, CaptionFormat::SubRip);
    EXPECT_FALSE(orvel_tools::caption_format_for("out.txt", &format));
    EXPECT_FALSE(orvel_tools::caption_format_for("vtt", &format));
}

}  // namespace
