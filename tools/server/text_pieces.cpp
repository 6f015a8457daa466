#include "text_pieces.h"

#include "text_plan.h"

namespace orvel_server {

std::vector<Piece> plan_pieces(const std::string &text) {
    std::vector<Piece> pieces;
    for (textplan::Request &request : textplan::plan_requests(text))
        pieces.push_back({std::move(request.text), request.starts_sentence});
    return pieces;
}

size_t count_characters(const std::string &text) {
    size_t n = 0;
    for (unsigned char c : text) n += (c & 0xC0) != 0x80;
    return n;
}

}  // namespace orvel_server
