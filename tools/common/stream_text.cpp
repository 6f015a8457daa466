#include "stream_text.h"

#include "text_plan.h"

#include <vector>

namespace textplan {

std::string take_complete_sentences(std::string *buffer) {
    std::string clean = clean_text(*buffer);
    std::vector<std::string> paragraphs = split_paragraphs(clean);
    if (paragraphs.empty()) return {};

    // The whitespace after the last word: a blank line there closes the paragraph.
    size_t last_word_end = clean.find_last_not_of(" \n") + 1;
    std::string tail = clean.substr(last_word_end);
    bool paragraph_closed = tail.find("\n\n") != std::string::npos;

    std::string complete;
    auto add = [&complete](const std::string &text, const char *separator) {
        if (!complete.empty()) complete += separator;
        complete += text;
    };
    for (size_t i = 0; i + 1 < paragraphs.size(); ++i) add(paragraphs[i], "\n\n");
    std::vector<std::string> sentences = split_sentences(paragraphs.back());
    std::string rest;
    if (paragraph_closed) {
        add(paragraphs.back(), "\n\n");
    } else {
        const char *separator = "\n\n";  // between the last closed paragraph and this one's first sentence
        for (size_t i = 0; i + 1 < sentences.size(); ++i) {
            add(sentences[i], separator);
            separator = " ";
        }
        if (!sentences.empty()) rest = sentences.back() + tail;
    }
    *buffer = rest;
    return complete;
}

}  // namespace textplan
