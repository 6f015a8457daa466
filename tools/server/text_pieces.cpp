#include "text_pieces.h"

#include "cli.h"
#include "ssml.h"
#include "text_plan.h"

namespace orvel_server {

namespace {
const orvel_tools::Lexicon *g_lexicon = nullptr;
}  // namespace

std::vector<Piece> plan_pieces(const std::string &text) {
    std::vector<Piece> pieces;
    for (textplan::Request &request : textplan::plan_requests(g_lexicon ? g_lexicon->apply(text) : text))
        pieces.push_back({std::move(request.text), request.starts_sentence});
    return pieces;
}

void use_lexicon(const orvel_tools::Lexicon *lexicon) { g_lexicon = lexicon; }

std::vector<Piece> plan_input(const std::string &text) {
    std::string warning;
    std::vector<Piece> pieces;
    for (textplan::Request &request : orvel_tools::plan_speech(text, false, &warning, g_lexicon)) {
        Piece piece(std::move(request.text), request.starts_sentence);
        piece.pause_ms = request.pause_ms;
        piece.rate = static_cast<float>(request.rate);
        pieces.push_back(std::move(piece));
    }
    if (!warning.empty()) orvel_tools::message("%s", warning.c_str());
    return pieces;
}

size_t count_characters(const std::string &text) {
    size_t n = 0;
    for (unsigned char c : text) n += (c & 0xC0) != 0x80;
    return n;
}

}  // namespace orvel_server
