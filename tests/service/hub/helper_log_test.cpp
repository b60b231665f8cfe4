// The Helper log: its bound, its order, how lines are joined, and the process-wide list behind
// append_helper_log and helper_log_text (shared by every test of this program, so those tests
// look only at what they appended last), and the logs reply made of it.
#include <gtest/gtest.h>

#include <algorithm>
#include <thread>
#include <vector>

#include "service/hub/api/wire.hpp"
#include "service/hub/helper_log.hpp"
#include "service/hub/helper_log_list.hpp"

namespace drovane::hub {
namespace {

std::string joined(int from, int to) {
    std::string text;
    for (int i = from; i < to; ++i) {
        if (!text.empty()) {
            text += '\n';
        }
        text += "line " + std::to_string(i);
    }
    return text;
}

TEST(HelperLog, EmptyLogIsAnEmptyReply) {
    const HelperLogList log(kHelperLogCapacity);
    EXPECT_EQ(log.text(), "");
    const Reply reply = logs_reply(log.text());
    EXPECT_EQ(reply.status, 200u);
    EXPECT_EQ(reply.body, "");
    ASSERT_EQ(reply.headers.size(), 3u);
    EXPECT_EQ(*reply.header("content-type"), "text/plain; charset=utf-8");
    EXPECT_EQ(*reply.header("x-content-type-options"), "nosniff");
    EXPECT_EQ(*reply.header("cache-control"), "no-store");
    EXPECT_FALSE(reply.closes_connection());
}

TEST(HelperLog, LinesAreJoinedOldestFirstAsTheyStand) {
    HelperLogList log(kHelperLogCapacity);
    log.append("first");
    log.append("");
    log.append("third \"as is\"");
    const std::string body = log.text();
    EXPECT_EQ(body, "first\n\nthird \"as is\"");
    EXPECT_EQ(std::count(body.begin(), body.end(), '\n'), 2);

    log.append("two\nlines");
    EXPECT_EQ(log.text(), "first\n\nthird \"as is\"\ntwo\nlines");
}

TEST(HelperLog, HoldsOnlyTheNewestHundredLines) {
    HelperLogList log(kHelperLogCapacity);
    for (int i = 0; i < 100; ++i) {
        log.append("line " + std::to_string(i));
    }
    EXPECT_EQ(log.text(), joined(0, 100));
    for (int i = 100; i < 150; ++i) {
        log.append("line " + std::to_string(i));
    }
    EXPECT_EQ(log.text(), joined(50, 150));
}

TEST(HelperLog, ConcurrentAppendsKeepTheBound) {
    HelperLogList log(kHelperLogCapacity);
    std::vector<std::thread> writers;
    for (int t = 0; t < 4; ++t) {
        writers.emplace_back([&log, t] {
            for (int i = 0; i < 60; ++i) {
                log.append("writer " + std::to_string(t));
            }
        });
    }
    for (std::thread& writer : writers) {
        writer.join();
    }
    const std::string body = log.text();
    EXPECT_EQ(std::count(body.begin(), body.end(), '\n'), 99);
    EXPECT_EQ(log.read(std::nullopt).next, 241u);  // every append numbered once
}

TEST(HelperLog, ProcessLogKeepsTheLast100Appends) {
    for (int i = 0; i < 150; ++i) {
        append_helper_log("line " + std::to_string(i));
    }
    const Reply reply = logs_reply(helper_log_text());
    EXPECT_EQ(reply.status, 200u);
    EXPECT_EQ(reply.body, joined(50, 150));
    EXPECT_EQ(*reply.header("cache-control"), "no-store");
}

}  // namespace
}  // namespace drovane::hub
