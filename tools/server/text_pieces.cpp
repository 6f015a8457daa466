#include "text_pieces.h"

namespace orvel_server {

// Interim splitter: sentence ends before a space, and pieces kept under a few
// hundred bytes at a space.
std::vector<Piece> plan_pieces(const std::string &text) {
    std::vector<Piece> pieces;
    std::string current;
    bool sentence_start = true;
    auto emit = [&](bool next_starts_sentence) {
        size_t a = current.find_first_not_of(" \t\r\n");
        if (a != std::string::npos) {
            size_t b = current.find_last_not_of(" \t\r\n");
            pieces.push_back({current.substr(a, b - a + 1), sentence_start});
            sentence_start = next_starts_sentence;
        }
        current.clear();
    };
    for (size_t i = 0; i < text.size(); ++i) {
        char c = text[i];
        if (c == '\0' || (static_cast<unsigned char>(c) < 0x20)) c = ' ';
        current += c;
        bool end = (c == '.' || c == '!' || c == '?') && (i + 1 == text.size() || text[i + 1] == ' ' || text[i + 1] == '\n');
        if (end) {
            emit(true);
        } else if (current.size() > 400 && c == ' ') {
            emit(false);
        }
    }
    emit(true);
    return pieces;
}

size_t count_characters(const std::string &text) {
    size_t n = 0;
    for (unsigned char c : text) n += (c & 0xC0) != 0x80;
    return n;
}

}  // namespace orvel_server
