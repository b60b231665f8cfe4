// Test doubles for the request layer: the recording CoreOperations, a scripted request body and
// a driver that runs one route_request to its reply on an io_context of its own.
#pragma once

#include <boost/asio/co_spawn.hpp>
#include <boost/asio/io_context.hpp>
#include <boost/json/array.hpp>
#include <boost/json/object.hpp>
#include <boost/json/serialize.hpp>
#include <cstdlib>
#include <exception>
#include <fstream>
#include <optional>
#include <string>
#include <vector>

#include "fakes/recording_core.hpp"
#include "service/hub/api/router.hpp"
#include "service/hub/api/wire.hpp"
#include "service/hub/core_operations.hpp"

namespace drovane::hub::testing {

// A body that yields its text, or fails, and remembers whether it was read.
class ScriptedBody final : public BodySource {
  public:
    explicit ScriptedBody(std::string text) : text_(std::move(text)) {}
    static ScriptedBody failing() {
        ScriptedBody body("");
        body.fail_ = true;
        return body;
    }
    boost::asio::awaitable<Result<std::string>> read_body() override {
        ++reads;
        if (fail_) {
            co_return Error("connection reset while reading the body");
        }
        co_return text_;
    }
    int reads = 0;

  private:
    std::string text_;
    bool fail_ = false;
};

// With DROVANE_REPLY_LOG naming a file, every routed reply is appended to it as one JSON line
// (method, path, status, headers, body), for the check of the replies against the protocol
// document.
inline void log_reply(const Request& request, const Reply& reply) {
    const char* file = std::getenv("DROVANE_REPLY_LOG");
    if (file == nullptr || *file == '\0') {
        return;
    }
    boost::json::array headers;
    for (const Header& header : reply.headers) {
        headers.push_back(boost::json::array{header.name.c_str(), header.value.c_str()});
    }
    const boost::json::object line{{"method", request.method},
                                   {"path", std::string(request.path())},
                                   {"status", reply.status},
                                   {"headers", std::move(headers)},
                                   {"body", reply.body}};
    std::ofstream(file, std::ios::app) << boost::json::serialize(line) << '\n';
}

inline Reply route_once(const RequestRouter& router, Request& request) {
    boost::asio::io_context io;
    std::optional<Reply> reply;
    std::exception_ptr failure;
    boost::asio::co_spawn(io, router.route_request(request), [&](std::exception_ptr e, Reply r) {
        failure = e;
        reply = std::move(r);
    });
    io.run();
    if (failure) {
        std::rethrow_exception(failure);
    }
    log_reply(request, reply.value());
    return reply.value();
}

}  // namespace drovane::hub::testing
