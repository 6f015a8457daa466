#include "ssml.h"

#if ORVEL_HAVE_EXPAT
#include <expat.h>
#endif

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstdlib>
#include <cstring>

namespace orvel_tools {

namespace {

bool is_blank(unsigned char c) { return c == ' ' || c == '\t' || c == '\n' || c == '\r'; }

// Runs of blanks as one space, none at the ends: line breaks inside markup
// are layout, not paragraphs.
std::string collapse_blanks(const std::string &text) {
    std::string out;
    for (unsigned char c : text) {
        if (is_blank(c)) {
            if (!out.empty() && out.back() != ' ') out += ' ';
        } else {
            out += static_cast<char>(c);
        }
    }
    while (!out.empty() && out.back() == ' ') out.pop_back();
    return out;
}

#if ORVEL_HAVE_EXPAT
// "500ms", "1.5s", "2 s": milliseconds, or -1.
double parse_time(const std::string &value) {
    const char *start = value.c_str();
    char *end = nullptr;
    double number = std::strtod(start, &end);
    if (end == start || !std::isfinite(number) || number < 0) return -1;
    std::string unit(end);
    unit.erase(std::remove_if(unit.begin(), unit.end(), [](unsigned char c) { return is_blank(c); }), unit.end());
    if (unit == "ms") return number;
    if (unit == "s") return number * 1000.0;
    return -1;
}

// A value named in an attribute's table, or -1 for a name not in it.
struct NamedValue {
    const char *name;
    double value;
};

template <size_t N>
double named_value(const NamedValue (&table)[N], const std::string &name) {
    for (const NamedValue &entry : table)
        if (name == entry.name) return entry.value;
    return -1;
}

// Pauses for the break strengths, about a comma's to a paragraph's.
double strength_ms(const std::string &strength) {
    static const NamedValue kStrengths[] = {{"none", 0},        {"x-weak", 100}, {"weak", 200},
                                            {"medium", 400},    {"strong", 700}, {"x-strong", 1000}};
    return named_value(kStrengths, strength);
}

// A prosody rate as a factor of the enclosing rate, or -1.
double parse_rate(const std::string &value) {
    static const NamedValue kNamed[] = {{"x-slow", 0.5}, {"slow", 0.75}, {"medium", 1.0},
                                        {"default", 1.0}, {"fast", 1.5},  {"x-fast", 2.0}};
    const double named = named_value(kNamed, value);
    if (named > 0) return named;
    const char *start = value.c_str();
    char *end = nullptr;
    double number = std::strtod(start, &end);
    if (end == start || !std::isfinite(number)) return -1;
    bool relative = value[0] == '+' || value[0] == '-';
    double factor;
    if (std::strcmp(end, "%") == 0) {
        factor = relative ? 1.0 + number / 100.0 : number / 100.0;
    } else if (*end == '\0' && !relative) {
        factor = number;
    } else {
        return -1;
    }
    return factor > 0 ? factor : -1;
}

// The UTF-8 characters of a text, blanks left out.
std::vector<std::string> characters_of(const std::string &text) {
    std::vector<std::string> out;
    for (size_t i = 0; i < text.size();) {
        size_t n = 1;
        while (i + n < text.size() && (static_cast<unsigned char>(text[i + n]) & 0xC0) == 0x80) ++n;
        if (!is_blank(static_cast<unsigned char>(text[i]))) out.push_back(text.substr(i, n));
        i += n;
    }
    return out;
}

std::string join(const std::vector<std::string> &items, const char *separator) {
    std::string out;
    for (const std::string &item : items) {
        if (!out.empty()) out += separator;
        out += item;
    }
    return out;
}

// English ordinal suffixes for a number written in digits; anything else as it is.
std::string ordinal(const std::string &text) {
    std::string digits;
    for (unsigned char c : text)
        if (!is_blank(c)) digits += static_cast<char>(c);
    if (digits.empty() || !std::all_of(digits.begin(), digits.end(), [](unsigned char c) { return std::isdigit(c); }))
        return text;
    int last = digits.back() - '0';
    int tens = digits.size() > 1 ? digits[digits.size() - 2] - '0' : 0;
    const char *suffix = "th";
    if (tens != 1) suffix = last == 1 ? "st" : last == 2 ? "nd" : last == 3 ? "rd" : "th";
    return digits + suffix;
}

// Digit by digit, with a pause (a comma) between the groups of a number like
// "+1 (555) 123-4567".
std::string telephone(const std::string &text) {
    std::vector<std::string> groups;
    std::string group;
    for (const std::string &c : characters_of(text + " ")) {
        if (c.size() == 1 && std::isalnum(static_cast<unsigned char>(c[0]))) {
            if (!group.empty()) group += ' ';
            group += c;
        } else if (c == "+") {
            group += "plus";
        } else if (!group.empty()) {
            groups.push_back(group);
            group.clear();
        }
    }
    if (!group.empty()) groups.push_back(group);
    return join(groups, ", ");
}

std::string say_as(const std::string &interpret_as, const std::string &text) {
    if (interpret_as == "characters" || interpret_as == "spell-out" || interpret_as == "letters" ||
        interpret_as == "verbatim" || interpret_as == "digits")
        return join(characters_of(text), " ");
    if (interpret_as == "telephone") return telephone(text);
    if (interpret_as == "ordinal") return ordinal(text);
    return text;  // cardinal, number, date and the rest: eSpeak NG reads them as written
}

struct Frame {
    double rate;
    std::string voice;
    bool counted;  // whether the element opened a frame of its own (within kMaxSsmlDepth)
};

// The parser's state between expat's callbacks.
class Reader {
public:
    explicit Reader(XML_Parser parser) : parser_(parser) { frames_.push_back({1.0, std::string(), true}); }

    static void XMLCALL on_start(void *self, const XML_Char *name, const XML_Char **attributes) {
        static_cast<Reader *>(self)->start(name, attributes);
    }
    static void XMLCALL on_end(void *self, const XML_Char *name) { static_cast<Reader *>(self)->end(name); }
    static void XMLCALL on_text(void *self, const XML_Char *text, int length) {
        static_cast<Reader *>(self)->text(text, length);
    }
    static void XMLCALL on_doctype(void *self, const XML_Char *, const XML_Char *, const XML_Char *, int) {
        Reader *reader = static_cast<Reader *>(self);
        reader->refused_ = "a document type declaration is not accepted";
        XML_StopParser(reader->parser_, XML_FALSE);
    }

    SsmlDocument finish() {
        flush(false);
        return std::move(document_);
    }
    const std::string &refused() const { return refused_; }

private:
    // Names without a namespace prefix ("ssml:break" is a break).
    static std::string local_name(const char *name) {
        const char *colon = std::strrchr(name, ':');
        return colon ? colon + 1 : name;
    }

    static std::string attribute(const XML_Char **attributes, const char *name) {
        for (size_t i = 0; attributes[i]; i += 2)
            if (local_name(attributes[i]) == name) return attributes[i + 1];
        return std::string();
    }

    void start(const char *raw_name, const XML_Char **attributes) {
        ++depth_;
        const std::string name = local_name(raw_name);
        if (depth_ > kMaxSsmlDepth) return;  // read for its text only
        const Frame &outer = frames_.back();
        Frame frame{outer.rate, outer.voice, true};
        if (name == "p" || name == "s") {
            flush(true);
        } else if (name == "break") {
            std::string time = attribute(attributes, "time");
            double ms = time.empty() ? -1 : parse_time(time);
            if (ms < 0) ms = strength_ms(attribute(attributes, "strength"));
            if (ms < 0) ms = strength_ms("medium");
            flush(false);
            SpeechPart part;
            part.kind = SpeechPart::Kind::Break;
            part.break_ms = std::min(ms, kMaxBreakMs);
            document_.parts.push_back(part);
        } else if (name == "mark") {
            flush(false);
            SpeechPart part;
            part.kind = SpeechPart::Kind::Mark;
            part.text = attribute(attributes, "name");
            document_.parts.push_back(part);
        } else if (name == "prosody") {
            double factor = parse_rate(attribute(attributes, "rate"));
            if (factor > 0) {
                flush(false);
                frame.rate = std::min(4.0, std::max(0.25, outer.rate * factor));
            }
        } else if (name == "voice") {
            std::string voice = attribute(attributes, "name");
            if (!voice.empty()) {
                flush(false);
                frame.voice = voice;
            }
        } else if (name == "say-as") {
            spans_.push_back({depth_, current_.size(), attribute(attributes, "interpret-as"), false});
        } else if (name == "sub") {
            spans_.push_back({depth_, current_.size(), attribute(attributes, "alias"), true});
        }
        frames_.push_back(frame);
    }

    void end(const char *raw_name) {
        const int depth = depth_--;
        if (depth > kMaxSsmlDepth) return;
        const std::string name = local_name(raw_name);
        if (!spans_.empty() && spans_.back().depth == depth) {
            Span span = spans_.back();
            spans_.pop_back();
            std::string inside = current_.substr(span.start);
            current_.erase(span.start);
            current_ += span.alias ? span.value : say_as(span.value, inside);
        }
        frames_.pop_back();
        if (name == "p" || name == "s") {
            flush(true);
        } else if (name == "prosody" || name == "voice") {
            const Frame &now = frames_.back();
            if (now.rate != rate_ || now.voice != voice_) flush(false);
        }
    }

    void text(const char *text, int length) {
        // The content of a sub is replaced by its alias at its end; kept until then.
        if (current_.empty()) {
            rate_ = frames_.back().rate;
            voice_ = frames_.back().voice;
        } else if (frames_.back().rate != rate_ || frames_.back().voice != voice_) {
            flush(false);
            rate_ = frames_.back().rate;
            voice_ = frames_.back().voice;
        }
        current_.append(text, static_cast<size_t>(length));
    }

    // Ends the text gathered so far as a part. boundary: a sentence ends here
    // (p or s), so the next text starts one.
    void flush(bool boundary) {
        if (!spans_.empty()) {
            // Inside say-as or sub the text is one piece; only a sentence boundary splits it.
            if (!boundary) return;
            spans_.clear();
        }
        std::string collapsed = collapse_blanks(current_);
        current_.clear();
        if (!collapsed.empty()) {
            SpeechPart part;
            part.text = collapsed;
            part.rate = rate_;
            part.voice = voice_;
            part.continues = continues_;
            document_.parts.push_back(part);
            char last = collapsed.back();
            // Text after this one goes on with its sentence unless it ended one.
            continues_ = !(last == '.' || last == '!' || last == '?' || last == ';' || last == ':');
        }
        if (boundary) continues_ = false;
    }

    struct Span {
        int depth;
        size_t start;       // where its text begins in current_
        std::string value;  // say-as: interpret-as; sub: the alias
        bool alias;
    };

    XML_Parser parser_;
    SsmlDocument document_;
    std::vector<Frame> frames_;
    std::vector<Span> spans_;
    std::string current_;
    double rate_ = 1.0;
    std::string voice_;
    bool continues_ = false;
    int depth_ = 0;
    std::string refused_;
};
#endif

}  // namespace

bool looks_like_ssml(const std::string &text) {
    size_t i = text.compare(0, 3, "\xEF\xBB\xBF") == 0 ? 3 : 0;
    while (i < text.size() && is_blank(static_cast<unsigned char>(text[i]))) ++i;
    return text.compare(i, 6, "<speak") == 0 || text.compare(i, 5, "<?xml") == 0;
}

std::string strip_markup(const std::string &text) {
    std::string out;
    for (size_t i = 0; i < text.size();) {
        if (text[i] == '<' && i + 1 < text.size()) {
            unsigned char next = static_cast<unsigned char>(text[i + 1]);
            size_t close = text.find('>', i);
            if ((std::isalpha(next) || next == '/' || next == '!' || next == '?') && close != std::string::npos) {
                out += ' ';
                i = close + 1;
                continue;
            }
        }
        if (text[i] == '&') {
            static const char *const kEntities[][2] = {
                {"&lt;", "<"}, {"&gt;", ">"}, {"&amp;", "&"}, {"&quot;", "\""}, {"&apos;", "'"}};
            bool replaced = false;
            for (const auto &entity : kEntities) {
                size_t n = std::strlen(entity[0]);
                if (text.compare(i, n, entity[0]) == 0) {
                    out += entity[1];
                    i += n;
                    replaced = true;
                    break;
                }
            }
            if (replaced) continue;
        }
        out += text[i++];
    }
    return out;
}

SsmlDocument parse_ssml(const std::string &text) {
    SsmlDocument document;
    std::string failure;
#if !ORVEL_HAVE_EXPAT
    failure = "this build has no XML parser";
#else
    XML_Parser parser = XML_ParserCreate("UTF-8");
    if (!parser) {
        failure = "out of memory";
    } else {
        Reader reader(parser);
        XML_SetUserData(parser, &reader);
        XML_SetElementHandler(parser, Reader::on_start, Reader::on_end);
        XML_SetCharacterDataHandler(parser, Reader::on_text);
        XML_SetStartDoctypeDeclHandler(parser, Reader::on_doctype);
        XML_SetParamEntityParsing(parser, XML_PARAM_ENTITY_PARSING_NEVER);
        // A BOM is expat's to read, and it is fed in pieces expat's int can hold.
        bool ok = true;
        const size_t kPiece = 1 << 20;
        for (size_t at = 0; ok && at < text.size(); at += kPiece) {
            size_t n = std::min(kPiece, text.size() - at);
            ok = XML_Parse(parser, text.data() + at, static_cast<int>(n), XML_FALSE) == XML_STATUS_OK;
        }
        if (ok) ok = XML_Parse(parser, "", 0, XML_TRUE) == XML_STATUS_OK;
        if (ok) {
            document = reader.finish();
        } else if (!reader.refused().empty()) {
            failure = reader.refused();
        } else {
            failure = "line " + std::to_string(XML_GetCurrentLineNumber(parser)) + ": " +
                      XML_ErrorString(XML_GetErrorCode(parser));
        }
        XML_ParserFree(parser);
    }
#endif
    if (!failure.empty()) {
        document = SsmlDocument();
        document.warning = "the SSML could not be read (" + failure + "); it is spoken as plain text";
        SpeechPart part;
        part.text = collapse_blanks(strip_markup(text));
        document.parts.push_back(part);
    }
    return document;
}

std::vector<textplan::Request> plan_speech(const std::string &text, bool ssml, std::string *warning,
                                           const Lexicon *lexicon) {
    warning->clear();
    if (!ssml && !looks_like_ssml(text)) return textplan::plan_requests(lexicon ? lexicon->apply(text) : text);
    SsmlDocument document = parse_ssml(text);
    *warning = document.warning;
    std::vector<textplan::Request> requests;
    double pause_ms = 0;
    for (const SpeechPart &part : document.parts) {
        if (part.kind == SpeechPart::Kind::Break) {
            pause_ms = std::min(kMaxBreakMs, pause_ms + part.break_ms);
            continue;
        }
        if (part.kind != SpeechPart::Kind::Text) continue;
        std::vector<textplan::Request> planned =
            textplan::plan_requests(lexicon ? lexicon->apply(part.text) : part.text);
        for (size_t i = 0; i < planned.size(); ++i) {
            textplan::Request &request = planned[i];
            if (i == 0) {
                if (part.continues) request.starts_sentence = false;
                request.pause_ms = pause_ms;
                pause_ms = 0;
            }
            request.rate = part.rate;
            request.voice = part.voice;
            requests.push_back(std::move(request));
        }
    }
    return requests;
}

}  // namespace orvel_tools
