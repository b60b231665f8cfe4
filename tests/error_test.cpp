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

}  // namespace
}  // namespace drovane
