#include "wyoming_codec.h"

#include <algorithm>

namespace wyoming {

using nlohmann::json;

const char *const kProtocolVersion = "1.7.0";

namespace {

std::string dump(const json &value) {
    return value.dump(-1, ' ', false, json::error_handler_t::replace);
}

// A length member: absent or null is 0; anything but a whole number >= 0 is an error.
bool read_length(const json &header, const char *key, size_t *out) {
    *out = 0;
    auto it = header.find(key);
    if (it == header.end() || it->is_null()) return true;
    if (!it->is_number_unsigned()) return false;
    *out = it->get<size_t>();
    return true;
}

}  // namespace

std::string encode(const Event &event) {
    json header = json::object();
    header["type"] = event.type;
    header["version"] = kProtocolVersion;
    std::string data;
    if (event.data.is_object() && !event.data.empty()) {
        data = dump(event.data);
        header["data_length"] = data.size();
    }
    if (!event.payload.empty()) header["payload_length"] = event.payload.size();
    std::string out = dump(header);
    out += '\n';
    out += data;
    out += event.payload;
    return out;
}

void Reader::consume(size_t n) {
    start_ += n;
    // Compact once the consumed part dominates, so the buffer stays bounded
    // and the copying stays linear overall.
    if (start_ > 65536 && start_ * 2 > buffer_.size()) {
        buffer_.erase(0, start_);
        scanned_ = scanned_ > start_ ? scanned_ - start_ : 0;
        start_ = 0;
    }
}

Reader::Result Reader::next(Event *event, std::string *error) {
    for (;;) {
        if (in_body_) {
            if (buffered() < data_length_ + payload_length_) return Result::NeedMore;
            in_body_ = false;
            const char *body = buffer_.data() + start_;
            if (data_length_ > 0) {
                json block = json::parse(body, body + data_length_, nullptr, false);
                if (block.is_discarded() || !block.is_object()) {
                    consume(data_length_ + payload_length_);
                    *error = "the data block of a '" + pending_.type + "' event is not a JSON object";
                    return Result::Malformed;
                }
                for (auto &item : block.items()) pending_.data[item.key()] = std::move(item.value());
            }
            pending_.payload.assign(body + data_length_, payload_length_);
            consume(data_length_ + payload_length_);
            *event = std::move(pending_);
            pending_ = Event();
            return Result::Event;
        }

        // A header line may arrive a byte at a time: each byte is looked at once.
        size_t newline = buffer_.find('\n', std::max(start_, scanned_));
        if (newline == std::string::npos) {
            scanned_ = buffer_.size();
            if (buffered() > limits_.max_header_bytes + 1) {  // + 1: a '\r' before the '\n'
                *error = "a header line is longer than " + std::to_string(limits_.max_header_bytes) + " bytes";
                return Result::Fatal;
            }
            return Result::NeedMore;
        }
        size_t line_start = start_, line_end = newline;
        consume(newline + 1 - start_);
        if (line_end > line_start && buffer_[line_end - 1] == '\r') --line_end;
        if (line_end == line_start) continue;  // blank lines between events
        if (line_end - line_start > limits_.max_header_bytes) {
            *error = "a header line is longer than " + std::to_string(limits_.max_header_bytes) + " bytes";
            return Result::Fatal;
        }
        json header = json::parse(buffer_.data() + line_start, buffer_.data() + line_end, nullptr, false);
        if (header.is_discarded() || !header.is_object()) {
            *error = "a header line is not a JSON object";
            return Result::Malformed;
        }
        auto type = header.find("type");
        if (type == header.end() || !type->is_string() || type->get_ref<const std::string &>().empty()) {
            *error = "a header has no \"type\"";
            return Result::Malformed;
        }
        auto data = header.find("data");
        if (data != header.end() && !data->is_null() && !data->is_object()) {
            *error = "the \"data\" of a header is not a JSON object";
            return Result::Malformed;
        }
        if (!read_length(header, "data_length", &data_length_) ||
            !read_length(header, "payload_length", &payload_length_)) {
            *error = "a header's data_length or payload_length is not a whole number";
            return Result::Malformed;
        }
        if (data_length_ > limits_.max_data_bytes) {
            *error = "data_length " + std::to_string(data_length_) + " is over the limit of " +
                     std::to_string(limits_.max_data_bytes) + " bytes";
            return Result::Fatal;
        }
        if (payload_length_ > limits_.max_payload_bytes) {
            *error = "payload_length " + std::to_string(payload_length_) + " is over the limit of " +
                     std::to_string(limits_.max_payload_bytes) + " bytes";
            return Result::Fatal;
        }
        pending_ = Event();
        pending_.type = type->get<std::string>();
        if (data != header.end() && data->is_object()) pending_.data = std::move(*data);
        in_body_ = true;
    }
}

}  // namespace wyoming
