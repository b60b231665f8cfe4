#include "error.hpp"

#include <string_view>

namespace drovane {

Error Error::os(std::uint32_t code) {
    Error error(system_message(code) + " (os error " + std::to_string(code) + ")");
    error.os_code_ = code;
    return error;
}

Error Error::winapi(std::uint32_t code) {
    return os(code).context("IO error in winapi call");
}

Error Error::context(std::string phrase) const& {
    return Error(*this).context(std::move(phrase));
}

Error Error::context(std::string phrase) && {
    Error outer(std::move(phrase));
    outer.cause_ = std::make_shared<const Error>(std::move(*this));
    return outer;
}

std::optional<std::uint32_t> Error::os_code() const {
    for (const Error* link = this; link != nullptr; link = link->cause()) {
        if (link->os_code_) {
            return link->os_code_;
        }
    }
    return std::nullopt;
}

std::vector<std::string> Error::chain() const {
    std::vector<std::string> messages;
    for (const Error* link = this; link != nullptr; link = link->cause()) {
        messages.push_back(link->message_);
    }
    return messages;
}

std::string Error::text() const {
    std::string joined = message_;
    for (const Error* link = cause(); link != nullptr; link = link->cause()) {
        joined += ": ";
        joined += link->message_;
    }
    return joined;
}

namespace {

// Appends `text` with every line after the first indented by `indent` spaces.
void append_continued(std::string& out, std::string_view text, std::size_t indent) {
    for (char c : text) {
        out += c;
        if (c == '\n') {
            out.append(indent, ' ');
        }
    }
}

}  // namespace

std::string render_error_report(const Error& error) {
    std::string out = "Error: ";
    append_continued(out, error.message(), 0);
    out += '\n';
    std::vector<std::string> causes = error.chain();
    causes.erase(causes.begin());
    if (!causes.empty()) {
        out += "\nCaused by:\n";
    }
    if (causes.size() == 1) {
        out += "    ";
        append_continued(out, causes.front(), 4);
        out += '\n';
    } else {
        for (std::size_t index = 0; index < causes.size(); ++index) {
            std::string number = std::to_string(index);
            out.append(number.size() < 5 ? 5 - number.size() : 0, ' ');
            out += number;
            out += ": ";
            append_continued(out, causes[index], 7);
            out += '\n';
        }
    }
    return out;
}

}  // namespace drovane
