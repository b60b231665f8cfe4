#include <gtest/gtest.h>

#include "error.hpp"

namespace drovane {
namespace {

TEST(ErrorReport, LayoutByNumberOfCauses) {
    struct Case {
        const char* name;
        Error error;
        std::string expected;
    };
    const Case cases[] = {
        {"no cause", Error("--owner-sid is not a SID"), "Error: --owner-sid is not a SID\n"},
        {"one cause", Error("root").context("outer"), "Error: outer\n\nCaused by:\n    root\n"},
        {"numbered causes", Error("root").context("middle").context("outer"),
         "Error: outer\n\nCaused by:\n    0: middle\n    1: root\n"},
        {"multi-line single cause", Error("line one\nline two").context("outer"),
         "Error: outer\n\nCaused by:\n    line one\n    line two\n"},
        {"multi-line numbered cause", Error("a\nb").context("middle").context("outer"),
         "Error: outer\n\nCaused by:\n    0: middle\n    1: a\n       b\n"},
    };
    for (const Case& c : cases) {
        EXPECT_EQ(render_error_report(c.error), c.expected) << c.name;
    }
}

TEST(ErrorReport, ElevenCausesKeepTheFiveCharacterField) {
    Error error("cause 10");
    for (int i = 9; i >= 0; --i) {
        error = std::move(error).context("cause " + std::to_string(i));
    }
    error = std::move(error).context("outer");
    std::string report = render_error_report(error);
    EXPECT_NE(report.find("\n    9: cause 9\n   10: cause 10\n"), std::string::npos) << report;
}

TEST(Error, OsErrorsRenderWithTheirCode) {
    Error error = Error::winapi(5).context("create helper service");
    std::vector<std::string> chain = error.chain();
    ASSERT_EQ(chain.size(), 3u);
    EXPECT_EQ(chain[0], "create helper service");
    EXPECT_EQ(chain[1], "IO error in winapi call");
    EXPECT_TRUE(chain[2].ends_with(" (os error 5)")) << chain[2];
    EXPECT_GT(chain[2].size(), std::string(" (os error 5)").size());
    EXPECT_EQ(error.os_code(), 5u);
    EXPECT_FALSE(Error("mine").os_code().has_value());
    EXPECT_EQ(Error("b").context("a").text(), "a: b");
}

Status bind_step(Status call) {
    DROVANE_RETURN_IF_ERROR_MSG(call, "bind helper server");
    return {};
}

Result<int> parse_step(Result<int> call) {
    DROVANE_RETURN_IF_ERROR_MSG(call, "read helper server port");
    return *call + 1;
}

// The phrase goes on top of the error passed up, which keeps its code; success passes through.
TEST(Error, ReturnIfErrorMsgAddsThePhraseAndKeepsTheCode) {
    const Status failed = bind_step(Error::os(10048));
    ASSERT_FALSE(failed);
    EXPECT_EQ(failed.error().message(), "bind helper server");
    EXPECT_EQ(failed.error().os_code(), 10048u);
    EXPECT_TRUE(failed.error().text().starts_with("bind helper server: ")) << failed.error().text();
    EXPECT_TRUE(failed.error().text().ends_with(" (os error 10048)")) << failed.error().text();
    EXPECT_TRUE(bind_step(Status{}));

    const Result<int> parsed = parse_step(Error("no port"));
    ASSERT_FALSE(parsed);
    EXPECT_EQ(parsed.error().text(), "read helper server port: no port");
    EXPECT_EQ(*parse_step(41), 42);
}

}  // namespace
}  // namespace drovane
