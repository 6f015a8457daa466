// How the server turns a request's text into the pieces the engine speaks:
// the tools' shared text planner, in the engine's terms.
#ifndef ORVEL_SERVER_TEXT_PIECES_H
#define ORVEL_SERVER_TEXT_PIECES_H

#include "engine.h"
#include "lexicon.h"

#include <string>
#include <vector>

namespace orvel_server {

// Sentences, and parts of over-long sentences, in speaking order; empty when
// the text has nothing to say.
std::vector<Piece> plan_pieces(const std::string &text);

// A request's whole text, plain or SSML (when it starts with <speak): its
// pieces with their pauses and rates. Markup that cannot be read is spoken as
// plain text, with one log line.
std::vector<Piece> plan_input(const std::string &text);

// The lexicon both apply (null: none); set before requests arrive.
void use_lexicon(const orvel_tools::Lexicon *lexicon);

// The number of Unicode characters in UTF-8 text (bytes that start one).
size_t count_characters(const std::string &text);

}  // namespace orvel_server

#endif
