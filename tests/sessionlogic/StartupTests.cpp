// The parent process id from the command line.
#include "SessionStartup.h"

#include <gtest/gtest.h>

namespace {

struct PIDCase {
    std::vector<std::string> arguments;
    std::int32_t expected;
};

TEST(SessionStartup, ParentPIDFromArguments) {
    constexpr std::int32_t fallback = 777;
    const PIDCase cases[] = {
        {{"helper", "--session"}, fallback},
        {{"helper", "--session", "--parent-pid", "4242"}, 4242},
        {{"helper", "--session", "--parent-pid", "+4242"}, 4242},
        {{"helper", "--session", "--parent-pid", "-12"}, -12},
        {{"helper", "--session", "--parent-pid", " 4242"}, fallback},
        {{"helper", "--session", "--parent-pid", "4242 "}, fallback},
        {{"helper", "--session", "--parent-pid", "4242x"}, fallback},
        {{"helper", "--session", "--parent-pid", "abc"}, fallback},
        {{"helper", "--session", "--parent-pid", ""}, fallback},
        {{"helper", "--session", "--parent-pid", "+"}, fallback},
        {{"helper", "--session", "--parent-pid", "-"}, fallback},
        {{"helper", "--session", "--parent-pid", "2147483647"}, 2147483647},
        {{"helper", "--session", "--parent-pid", "2147483648"}, fallback},
        {{"helper", "--session", "--parent-pid", "-2147483648"}, -2147483647 - 1},
        {{"helper", "--session", "--parent-pid", "-2147483649"}, fallback},
        {{"helper", "--session", "--parent-pid", "99999999999999999999999"}, fallback},
        {{"helper", "--session", "--parent-pid"}, fallback},
        {{"helper", "--session", "--parent-pid", "10", "--parent-pid", "20"}, 10},
        {{"helper", "--session", "--parent-pid", "x", "--parent-pid", "20"}, fallback},
        {{"helper", "--parent-pid", "31", "--session"}, 31},
        {{"helper", "--session", "--Parent-pid", "31"}, fallback},
    };
    for (const PIDCase& c : cases) {
        std::string joined;
        for (const std::string& a : c.arguments) joined += "[" + a + "]";
        SCOPED_TRACE(joined);
        EXPECT_EQ(parentPIDFromArguments(c.arguments, fallback), c.expected);
    }
}

} // namespace
