// Reply writers (compact JSON through Boost.JSON's serializer, plain text) and the readers of
// the start and stop bodies, which run Boost.JSON's event parser straight into the shape.
#include "service/hub/api/wire.hpp"

#include <array>
#include <boost/json/basic_parser_impl.hpp>
#include <boost/json/object.hpp>
#include <boost/json/serialize.hpp>
#include <boost/json/string.hpp>
#include <utility>

#include "ascii.hpp"
#include "text.hpp"

namespace drovane::hub {
namespace {

constexpr std::string_view kJsonContentType = "application/json";
constexpr std::string_view kTextContentType = "text/plain; charset=utf-8";

// Reply texts come from the Helper's own UTF-8 strings; a stray invalid byte must still not
// make the body invalid JSON.
boost::json::string json_text(std::string_view text) {
    if (is_valid_utf8(text)) {
        return boost::json::string(text);
    }
    return boost::json::string(sanitize_utf8(text));
}

Reply make_json_reply(unsigned status, const boost::json::object& object) {
    Reply reply;
    reply.status = status;
    reply.headers.push_back({"content-type", std::string(kJsonContentType)});
    reply.body = boost::json::serialize(object);
    return reply;
}

// The fields of a request shape, in the order of its array form.
template <std::size_t N>
struct ShapeFields {
    std::array<std::string_view, N> names;
    std::array<std::string, N> values{};
};

// Receives the parser's events and accepts exactly one object holding each field once, or one
// array holding the fields in order, every value a string. Returning false stops the parse.
template <std::size_t N>
class ShapeHandler {
  public:
    static constexpr std::size_t max_object_size = N;
    static constexpr std::size_t max_array_size = N;
    static constexpr std::size_t max_key_size = static_cast<std::size_t>(-1);
    static constexpr std::size_t max_string_size = static_cast<std::size_t>(-1);

    explicit ShapeHandler(ShapeFields<N>& fields) : fields_(fields) {}

    bool complete() const { return complete_; }

    bool on_document_begin(boost::json::error_code&) { return true; }
    bool on_document_end(boost::json::error_code&) { return complete_; }

    bool on_object_begin(boost::json::error_code&) {
        if (form_ != Form::none) {
            return false;  // a nested object is never a field value
        }
        form_ = Form::object;
        return true;
    }
    bool on_object_end(std::size_t, boost::json::error_code&) {
        for (bool seen : seen_) {
            if (!seen) {
                return false;
            }
        }
        complete_ = true;
        return true;
    }

    bool on_array_begin(boost::json::error_code&) {
        if (form_ != Form::none) {
            return false;
        }
        form_ = Form::array;
        return true;
    }
    bool on_array_end(std::size_t, boost::json::error_code&) {
        if (next_element_ != N) {
            return false;
        }
        complete_ = true;
        return true;
    }

    bool on_key_part(boost::json::string_view part, std::size_t, boost::json::error_code&) {
        buffer_.append(part.data(), part.size());
        return true;
    }
    bool on_key(boost::json::string_view part, std::size_t, boost::json::error_code&) {
        buffer_.append(part.data(), part.size());
        for (std::size_t i = 0; i < N; ++i) {
            if (buffer_ == fields_.names[i]) {
                if (seen_[i]) {
                    return false;  // a field named twice
                }
                seen_[i] = true;
                current_ = i;
                buffer_.clear();
                return true;
            }
        }
        return false;  // a member that is no field of the shape
    }

    bool on_string_part(boost::json::string_view part, std::size_t, boost::json::error_code&) {
        buffer_.append(part.data(), part.size());
        return true;
    }
    bool on_string(boost::json::string_view part, std::size_t, boost::json::error_code&) {
        buffer_.append(part.data(), part.size());
        std::size_t index = 0;
        if (form_ == Form::object) {
            index = current_;
        } else if (form_ == Form::array && next_element_ < N) {
            index = next_element_++;
        } else {
            return false;  // a bare string, or an array element too many
        }
        fields_.values[index] = std::move(buffer_);
        buffer_.clear();
        return true;
    }

    // Every value that is not a string is an error.
    bool on_number_part(boost::json::string_view, boost::json::error_code&) { return false; }
    bool on_int64(std::int64_t, boost::json::string_view, boost::json::error_code&) {
        return false;
    }
    bool on_uint64(std::uint64_t, boost::json::string_view, boost::json::error_code&) {
        return false;
    }
    bool on_double(double, boost::json::string_view, boost::json::error_code&) { return false; }
    bool on_bool(bool, boost::json::error_code&) { return false; }
    bool on_null(boost::json::error_code&) { return false; }
    bool on_comment_part(boost::json::string_view, boost::json::error_code&) { return false; }
    bool on_comment(boost::json::string_view, boost::json::error_code&) { return false; }

  private:
    enum class Form { none, object, array };

    ShapeFields<N>& fields_;
    Form form_ = Form::none;
    std::array<bool, N> seen_{};
    std::size_t current_ = 0;
    std::size_t next_element_ = 0;
    std::string buffer_;
    bool complete_ = false;
};

// Strict RFC 8259: no comments, no trailing commas, valid UTF-8 only (the parser's defaults).
template <std::size_t N>
bool parse_shape(std::string_view body, ShapeFields<N>& fields) {
    try {
        boost::json::basic_parser<ShapeHandler<N>> parser(boost::json::parse_options{}, fields);
        boost::json::error_code ec;
        const std::size_t used = parser.write_some(false, body.data(), body.size(), ec);
        // Anything left after the value (other than whitespace, which the parser consumes)
        // is an error, and so is a body that ended before its value did.
        return !ec && used == body.size() && parser.done() && parser.handler().complete();
    } catch (...) {
        // The parser reports faults through the error code; only allocation can throw.
        return false;
    }
}

}  // namespace

Reply error_reply(unsigned status, std::string_view code, std::string_view message,
                  std::optional<std::int32_t> os_error) {
    boost::json::object object;
    object.emplace("code", json_text(code));
    object.emplace("message", json_text(message));
    if (os_error) {
        boost::json::object details;
        details.emplace("osError", static_cast<std::int64_t>(*os_error));
        object.emplace("details", std::move(details));
    }
    return make_json_reply(status, object);
}

Reply json_reply(unsigned status, const StartReply& reply) {
    boost::json::object object;
    object.emplace("sessionId", json_text(reply.session_id));
    object.emplace("pid", static_cast<std::uint64_t>(reply.pid));
    return make_json_reply(status, object);
}

Reply json_reply(unsigned status, const StopReply& reply) {
    boost::json::object object;
    object.emplace("sessionId", json_text(reply.session_id));
    object.emplace("stopped", reply.stopped);
    if (!reply.stopped && reply.reason) {
        object.emplace("reason", json_text(*reply.reason));
    }
    return make_json_reply(status, object);
}

Reply text_reply(unsigned status, std::string text) {
    Reply reply;
    reply.status = status;
    reply.headers.push_back({"content-type", std::string(kTextContentType)});
    // A page may point a <script> at a GET the local-caller rules admit; without this, the
    // browser runs the text as a script and its load event tells the page that the Helper
    // answered 200. With it, every such load fails alike.
    reply.headers.push_back({"x-content-type-options", "nosniff"});
    reply.body = std::move(text);
    return reply;
}

Reply with_header(Reply reply, std::string_view name, std::string_view value) {
    const std::string lower = ascii_lowered(name);
    bool replaced = false;
    for (auto it = reply.headers.begin(); it != reply.headers.end();) {
        if (ascii_iequals(it->name, lower)) {
            if (replaced) {
                it = reply.headers.erase(it);  // drop any further duplicate
                continue;
            }
            it->name = lower;
            it->value = std::string(value);
            replaced = true;
        }
        ++it;
    }
    if (!replaced) {
        reply.headers.push_back({std::move(lower), std::string(value)});
    }
    return reply;
}

Reply logs_reply(std::string log_text) {
    return with_header(text_reply(200, std::move(log_text)), "cache-control", "no-store");
}

Reply logs_reply(HelperLogRead read) {
    Reply reply =
        with_header(logs_reply(std::move(read.text)), kLogNextHeader, std::to_string(read.next));
    if (read.dropped > 0) {
        reply = with_header(std::move(reply), kLogDroppedHeader, std::to_string(read.dropped));
    }
    return reply;
}

std::optional<StartParams> parse_start_params(std::string_view body) {
    ShapeFields<2> fields{{"address", "sessionId"}};
    if (!parse_shape(body, fields)) {
        return std::nullopt;
    }
    return StartParams{std::move(fields.values[0]), std::move(fields.values[1])};
}

std::optional<StopParams> parse_stop_params(std::string_view body) {
    ShapeFields<1> fields{{"sessionId"}};
    if (!parse_shape(body, fields)) {
        return std::nullopt;
    }
    return StopParams{std::move(fields.values[0])};
}

}  // namespace drovane::hub
