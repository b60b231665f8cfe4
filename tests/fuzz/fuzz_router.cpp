// route_request over a request read from the input in a loose text form, so that seeds stay
// readable:
//
//     METHOD TARGET
//     name: value
//     ...
//     (empty line)
//     body
//
// Lines end at LF (a CR before it is dropped); the text after the first space of the first line is
// the target; a header line without ":" is a name with an empty value; one space after ":" is
// dropped, anything further is the value. Without the empty line the request has no body.
// Beyond the sanitizers, every reply is checked against the wire protocol's fixed shapes.
#include <boost/json/parse.hpp>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "ascii.hpp"
#include "fuzz_support.hpp"
#include "service/hub/api/router_rules.hpp"

namespace {

using namespace drovane;
using fuzz::finding;

// A body as a connection would give it: what the input holds, read once, and only after the
// router has judged the declared length; this is what bounds the memory a request may take.
class InputBody final : public hub::BodySource {
  public:
    InputBody(const hub::Request& request, std::string text)
        : request_(request), text_(std::move(text)) {}
    boost::asio::awaitable<Result<std::string>> read_body() override {
        if (++reads_ > 1) {
            finding("the router read the body twice");
        }
        const std::string* length = request_.header("content-length");
        const std::optional<std::uint64_t> declared =
            length ? hub::parse_content_length(*length) : std::nullopt;
        if (!declared || *declared > hub::kBodyLimit) {
            finding("the router read a body whose declared length it had not accepted");
        }
        co_return text_;
    }

  private:
    const hub::Request& request_;
    std::string text_;
    int reads_ = 0;
};

std::string_view next_line(std::string_view& rest) {
    const std::size_t end = rest.find('\n');
    std::string_view line = rest.substr(0, end);
    rest.remove_prefix(end == std::string_view::npos ? rest.size() : end + 1);
    if (!line.empty() && line.back() == '\r') {
        line.remove_suffix(1);
    }
    return line;
}

// The checks every reply passes whatever the request: the status, lower-case header names each
// once, one of the two content types (and a JSON body that parses under the JSON one), and
// "connection: close" on exactly the 403 and 413 rejections.
void check_reply(const hub::Reply& reply) {
    if (reply.status < 200 || reply.status > 599) {
        finding("reply status out of range");
    }
    for (std::size_t i = 0; i < reply.headers.size(); ++i) {
        const std::string& name = reply.headers[i].name;
        for (char c : name) {
            if (ascii_lower(c) != c) {
                finding("reply header name not in lower case");
            }
        }
        for (std::size_t j = i + 1; j < reply.headers.size(); ++j) {
            if (reply.headers[j].name == name) {
                finding("reply header set twice");
            }
        }
    }
    const std::string* type = reply.header("content-type");
    if (type == nullptr) {
        finding("reply without a content type");
    }
    if (*type == "application/json") {
        boost::system::error_code ec;
        const boost::json::value body = boost::json::parse(reply.body, ec);
        if (ec || !body.is_object()) {
            finding("JSON reply whose body is not a JSON object");
        }
    } else if (*type != "text/plain; charset=utf-8") {
        finding("reply with an unknown content type");
    }
    const bool should_close = reply.status == 403 || reply.status == 413;
    if (reply.closes_connection() != should_close) {
        finding("connection: close on the wrong replies");
    }
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    std::string_view rest(reinterpret_cast<const char*>(data), size);
    hub::Request request;
    const std::string_view request_line = next_line(rest);
    const std::size_t space = request_line.find(' ');
    request.method = std::string(request_line.substr(0, space));
    if (space != std::string_view::npos) {
        request.target = std::string(request_line.substr(space + 1));
    }
    std::optional<InputBody> body;
    while (!rest.empty()) {
        const std::string_view line = next_line(rest);
        if (line.empty()) {
            body.emplace(request, std::string(rest));
            request.body = &*body;
            break;
        }
        const std::size_t colon = line.find(':');
        std::string_view value;
        if (colon != std::string_view::npos) {
            value = line.substr(colon + 1);
            if (!value.empty() && value.front() == ' ') {
                value.remove_prefix(1);
            }
        }
        request.headers.push_back({std::string(line.substr(0, colon)), std::string(value)});
    }

    fuzz::Session session;
    std::optional<hub::Reply> reply;
    boost::asio::co_spawn(session.io, session.router.route_request(request),
                          [&](std::exception_ptr failure, hub::Reply r) {
                              if (failure) {
                                  finding("route_request threw");
                              }
                              reply = std::move(r);
                          });
    session.io.run();
    if (!reply) {
        finding("route_request never completed");
    }
    check_reply(*reply);
    return 0;
}
