// Fuzzes the tools' SSML reader with arbitrary bytes, read as SSML whether or
// not they start with <speak, and checks what comes out: parts within their
// bounds, text without stray blanks, one plain-text part with a warning when
// the markup was refused, and planned pieces within the planner's size; the
// bytes are also read as a pronunciation lexicon and applied to themselves.
#include "ssml.h"

#include <cstdint>
#include <cstdlib>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    const std::string text(reinterpret_cast<const char *>(data), size);
    orvel_tools::SsmlDocument document = orvel_tools::parse_ssml(text);
    if (!document.warning.empty() && document.parts.size() != 1) std::abort();
    for (const orvel_tools::SpeechPart &part : document.parts) {
        switch (part.kind) {
        case orvel_tools::SpeechPart::Kind::Break:
            if (!(part.break_ms >= 0 && part.break_ms <= orvel_tools::kMaxBreakMs)) std::abort();
            break;
        case orvel_tools::SpeechPart::Kind::Text:
            if (!(part.rate >= 0.25 && part.rate <= 4.0)) std::abort();
            // The fallback's text may be empty (nothing but tags); parsed text never is.
            if (document.warning.empty() && part.text.empty()) std::abort();
            if (!part.text.empty() && (part.text.front() == ' ' || part.text.back() == ' ')) std::abort();
            if (part.text.find_first_of("\n\t\r") != std::string::npos) std::abort();
            break;
        case orvel_tools::SpeechPart::Kind::Mark:
            break;
        }
    }
    std::string warning;
    for (const textplan::Request &request : orvel_tools::plan_speech(text, true, &warning)) {
        if (request.text.empty() || request.text.size() > textplan::kPieceBytes) std::abort();
        if (!(request.pause_ms >= 0 && request.pause_ms <= orvel_tools::kMaxBreakMs)) std::abort();
    }
    if (warning != document.warning) std::abort();

    // The same bytes as a lexicon, applied to themselves: a refused file says
    // where, and replacing never loses the bytes that are not words.
    orvel_tools::Lexicon lexicon;
    std::string error;
    if (!lexicon.parse(text, "fuzz", &error) && error.compare(0, 5, "fuzz:") != 0) std::abort();
    const std::string replaced = lexicon.apply(text);
    if (lexicon.empty() && replaced != text) std::abort();
    return 0;
}
