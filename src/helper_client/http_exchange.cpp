#include "helper_client/http_exchange.hpp"

#include <algorithm>
#include <charconv>

#include "ascii.hpp"

namespace drovane::helper_client {

namespace {

Result<std::string> decode_chunked(std::string_view body) {
    std::string out;
    while (true) {
        std::size_t line_end = body.find("\r\n");
        if (line_end == std::string_view::npos) {
            return Error("truncated chunked reply body");
        }
        std::string_view size_text = body.substr(0, line_end);
        size_text = size_text.substr(0, size_text.find(';'));
        std::size_t size = 0;
        auto [end, ec] =
            std::from_chars(size_text.data(), size_text.data() + size_text.size(), size, 16);
        if (ec != std::errc{} || end != size_text.data() + size_text.size()) {
            return Error("malformed chunk size in reply body");
        }
        body.remove_prefix(line_end + 2);
        if (size == 0) {
            return out;
        }
        // Compared without adding to `size`, which may be anything up to 2^64 - 1.
        if (body.size() < 2 || size > body.size() - 2) {
            return Error("truncated chunked reply body");
        }
        out.append(body.substr(0, size));
        body.remove_prefix(size + 2);
    }
}

}  // namespace

const std::string* HttpReply::header(std::string_view name) const {
    std::string wanted = ascii_lowered(name);
    for (const auto& [key, value] : headers) {
        if (key == wanted) {
            return &value;
        }
    }
    return nullptr;
}

std::string format_request(std::string_view method, std::string_view target, unsigned port,
                           std::string_view json_body) {
    std::string request;
    request.append(method).append(" ").append(target).append(" HTTP/1.1\r\n");
    request.append("host: 127.0.0.1:").append(std::to_string(port)).append("\r\n");
    request.append("connection: close\r\n");
    if (method == "POST") {
        request.append("content-type: application/json\r\n");
        request.append("content-length: ").append(std::to_string(json_body.size())).append("\r\n");
    }
    request.append("\r\n").append(json_body);
    return request;
}

Result<HttpReply> parse_reply(std::string_view bytes) {
    if (bytes.size() > kMaxReplyBytes) {
        return Error("a reply of more than " + std::to_string(kMaxReplyBytes) + " bytes");
    }
    std::size_t head_end = bytes.find("\r\n\r\n");
    if (head_end == std::string_view::npos) {
        return Error("the Helper closed the connection before a complete reply");
    }
    std::string_view head = bytes.substr(0, head_end);
    std::string_view rest = bytes.substr(head_end + 4);

    std::size_t line_end = head.find("\r\n");
    std::string_view status_line = head.substr(0, line_end);
    HttpReply reply;
    if (!status_line.starts_with("HTTP/1.") || status_line.size() < 12 ||
        std::from_chars(status_line.data() + 9, status_line.data() + 12, reply.status).ec !=
            std::errc{}) {
        return Error("malformed reply status line: " + std::string(status_line));
    }
    while (line_end != std::string_view::npos) {
        head.remove_prefix(line_end + 2);
        line_end = head.find("\r\n");
        std::string_view line = head.substr(0, line_end);
        std::size_t colon = line.find(':');
        if (colon == std::string_view::npos) {
            return Error("malformed reply header: " + std::string(line));
        }
        reply.headers.emplace_back(ascii_lowered(trim_ows(line.substr(0, colon))),
                                   std::string(trim_ows(line.substr(colon + 1))));
    }

    if (const std::string* encoding = reply.header("transfer-encoding");
        encoding != nullptr && ascii_lowered(*encoding).find("chunked") != std::string::npos) {
        Result<std::string> body = decode_chunked(rest);
        DROVANE_RETURN_IF_ERROR(body);
        reply.body = std::move(body).value();
    } else if (const std::string* length = reply.header("content-length")) {
        std::size_t size = 0;
        auto [end, ec] = std::from_chars(length->data(), length->data() + length->size(), size);
        if (ec != std::errc{} || end != length->data() + length->size()) {
            return Error("malformed reply content-length: " + *length);
        }
        if (rest.size() < size) {
            return Error("the Helper closed the connection before the whole reply body");
        }
        reply.body = std::string(rest.substr(0, size));
    } else {
        reply.body = std::string(rest);
    }
    return reply;
}

}  // namespace drovane::helper_client
