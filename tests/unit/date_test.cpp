// Panel day numbers to calendar time, in pinned time zones.
#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>
#include <string>

#include "panel/points.h"

namespace {

class ZoneTest : public ::testing::TestWithParam<const char*> {
protected:
    void SetUp() override {
        const char* old = std::getenv("TZ");
        saved = old ? old : "";
        hadZone = old != nullptr;
        setenv("TZ", GetParam(), 1);
        tzset();
    }
    void TearDown() override {
        if (hadZone) {
            setenv("TZ", saved.c_str(), 1);
        } else {
            unsetenv("TZ");
        }
        tzset();
    }
    static std::int32_t Midnight(int year, int month, int day) {
        std::tm t = {};
        t.tm_year = year - 1900;
        t.tm_mon = month - 1;
        t.tm_mday = day;
        t.tm_isdst = -1;
        return static_cast<std::int32_t>(std::mktime(&t));
    }
    static std::int32_t Day(int n) {
        return TrkDateToTime(static_cast<std::uint8_t>(n & 0xFF), static_cast<std::uint8_t>(n >> 8));
    }
    std::string saved;
    bool hadZone = false;
};

TEST_P(ZoneTest, DayNumberTable) {
    struct Case {
        int day;
        int year, month, mday;
    };
    const Case cases[] = {
        {1, 1977, 1, 1},     {2, 1977, 1, 2},     {365, 1977, 12, 31},  {366, 1978, 1, 1},    {1155, 1980, 2, 29},
        {1154, 1980, 2, 28}, {1156, 1980, 3, 1},  {1461, 1980, 12, 31}, {1462, 1981, 1, 1},   {8401, 2000, 1, 1},
        {0, 1976, 12, 31},   {2616, 1984, 2, 29}, {8461, 2000, 3, 1},   {22298, 2038, 1, 18},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(Day(c.day), Midnight(c.year, c.month, c.mday)) << c.day;
    }
}

TEST_P(ZoneTest, EveryDayIsTheNextLocalMidnight) {
    // Local midnight of 1 January 1977 plus n - 1 days, whatever the zone's
    // daylight saving does in between.
    for (int n = 1; n <= 22298; ++n) {
        std::tm t = {};
        t.tm_year = 77;
        t.tm_mon = 0;
        t.tm_mday = n;
        t.tm_isdst = -1;
        ASSERT_EQ(Day(n), static_cast<std::int32_t>(std::mktime(&t))) << n;
    }
}

TEST_P(ZoneTest, DatesBeyond2038AreMinusOne) {
    EXPECT_EQ(Day(22301), -1); // 21 January 2038
    EXPECT_EQ(Day(0xFFFF), -1);
}

INSTANTIATE_TEST_SUITE_P(Zones, ZoneTest,
                         ::testing::Values("UTC0", "CET-1CEST,M3.5.0,M10.5.0/3", "EST5EDT,M3.2.0,M11.1.0"));

} // namespace
