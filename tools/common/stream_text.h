// Text that arrives in pieces (a reply streamed by a language model): the
// sentences that are complete so far, so they can be spoken before the rest
// has arrived.
#ifndef ORVEL_TOOLS_STREAM_TEXT_H
#define ORVEL_TOOLS_STREAM_TEXT_H

#include <string>

namespace textplan {

// Removes from *buffer the sentences known to be complete and returns them
// (empty when none is). A sentence is complete once the text after it shows
// that it ended: the next sentence or paragraph has begun. What stays in
// *buffer is the last, possibly unfinished sentence, with its trailing space
// kept so the next piece does not join onto its last word.
std::string take_complete_sentences(std::string *buffer);

}  // namespace textplan

#endif
