// The text forms of query conditions: times to the nanosecond across the
// calendar's edges and offsets, and the texts that must be refused.
#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "archive/conditions.hpp"

namespace flowsieve::archive {
namespace {

struct TimeCase {
    std::string text;
    std::optional<uint64_t> nanos;  // nothing: refused
};

class Times : public testing::TestWithParam<TimeCase> {};

TEST_P(Times, ReadToTheNanosecond) {
    auto got = parse_time(GetParam().text);
    ASSERT_EQ(got.ok(), GetParam().nanos.has_value()) << GetParam().text;
    if (got) EXPECT_EQ(got.value(), *GetParam().nanos) << GetParam().text;
}

constexpr uint64_t kS = 1000000000;

INSTANTIATE_TEST_SUITE_P(
    Conditions, Times,
    testing::Values(TimeCase{"1700000000", 1700000000 * kS}, TimeCase{"1700000000.5", 1700000000 * kS + 500000000},
                    TimeCase{"0.000000001", 1}, TimeCase{"1.1234567899", kS + 123456789},  // the tenth digit dropped
                    TimeCase{"2024-02-29", 1709164800 * kS}, TimeCase{"2023-02-29", std::nullopt},
                    TimeCase{"2000-02-29T00:00:00Z", 951782400 * kS}, TimeCase{"1900-02-29", std::nullopt},
                    TimeCase{"2024-05-01T16:00+02:00", 1714572000 * kS},
                    TimeCase{"2024-05-01 13:30:00.25-0030", 1714572000 * kS + 250000000},
                    TimeCase{"2024-05-01T14:00:00+05", 1714554000 * kS},
                    TimeCase{"1970-01-01T00:00:00+00:01", std::nullopt},  // before the epoch
                    TimeCase{"2554-07-21T23:34:33Z", 18446744073 * kS},  // the last whole second that fits
                    TimeCase{"2554-07-21T23:34:34Z", std::nullopt}, TimeCase{"18446744073.709551615", UINT64_MAX},
                    TimeCase{"18446744073.709551616", std::nullopt}, TimeCase{"18446744074", std::nullopt},
                    TimeCase{"", std::nullopt}, TimeCase{"1.", std::nullopt}, TimeCase{"2024-05-01T24:00", std::nullopt},
                    TimeCase{"2024-05-01T14:00Zulu", std::nullopt}, TimeCase{"yesterday", std::nullopt}));

TEST(Conditions, FiveTupleAndCommunityId) {
    auto t = parse_five_tuple("  TCP\t10.0.0.1 80  2001:db8::1 65535 ");
    ASSERT_TRUE(t.ok());
    EXPECT_EQ(t->protocol, 6);
    EXPECT_EQ(t->a, parse_address("10.0.0.1").value());
    EXPECT_EQ(t->b, parse_address("2001:db8::1").value());
    EXPECT_EQ(t->a_port, 80);
    EXPECT_EQ(t->b_port, 65535);
    EXPECT_EQ(parse_five_tuple("132 10.0.0.1 1 10.0.0.2 2")->protocol, 132);
    EXPECT_EQ(parse_protocol("ICMPv6").value(), 58);
    EXPECT_EQ(parse_protocol("256").error().message, "at most 255");
    for (const char* bad : {"tcp 10.0.0.1 80 10.0.0.2", "256 10.0.0.1 1 10.0.0.2 2", "tcp 10.0.0.1 65536 10.0.0.2 1",
                            "tcp 10.0.0.1 -1 10.0.0.2 1", "sctp 10.0.0.1 1 10.0.0.2 2"})
        EXPECT_FALSE(parse_five_tuple(bad).ok()) << bad;
    EXPECT_TRUE(parse_community_id("1:LQU9qZlK+B5F3KDmev6m5PMibrg=").ok());
    for (const char* bad : {"1:LQU9qZlK+B5F3KDmev6m5PMibrg", "2:LQU9qZlK+B5F3KDmev6m5PMibrg=",
                            "1:LQU9qZlK+B5F3KDmev6m5PMibrh=",  // bits beyond the 20 bytes
                            "1:LQU9qZlK-B5F3KDmev6m5PMibrg=", "1:"})
        EXPECT_FALSE(parse_community_id(bad).ok()) << bad;
}

}  // namespace
}  // namespace flowsieve::archive
