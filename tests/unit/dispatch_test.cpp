// The request table and the get-info answer.
#include <cstring>
#include <string>

#include "tests/unit/driver_fixture.h"
#include "zultrk_version.h"

namespace test {
namespace {

class DispatchTest : public DriverTest {};

TEST_F(DispatchTest, GetInfoWritesEveryByteAndTouchesNothingElse) {
    std::uint8_t block[sizeof(DriverInfo) + 8];
    std::memset(block, 0xFF, sizeof block);
    ChannelContext before = channel;
    ASSERT_EQ(Call(GetInfoCode, block), 0);
    DriverInfo info;
    std::memcpy(&info, block, sizeof info);
    EXPECT_EQ(info.Version, 70);
    EXPECT_STREQ(info.DeviceName, "Trane Tracker panel");
    EXPECT_EQ(info.ContextSize, static_cast<std::int32_t>(sizeof(ChannelContext)));
    EXPECT_EQ(info.HostValueA, 4);
    EXPECT_EQ(info.DefaultBaudRate, 9600);
    EXPECT_EQ(info.DefaultByteSize, 8);
    EXPECT_EQ(info.DefaultStopBits, 0);
    EXPECT_EQ(info.DefaultParity, 0);
    EXPECT_EQ(info.HostValueB, 3);
    for (std::size_t i = sizeof(DriverInfo); i < sizeof block; ++i) EXPECT_EQ(block[i], 0xFF) << i;
    EXPECT_EQ(std::memcmp(&before, &channel, sizeof channel), 0);
    EXPECT_TRUE(log.empty());

    DriverInfo again;
    ASSERT_EQ(Call(GetInfoCode, &again), 0);
    EXPECT_EQ(again.DeviceName, info.DeviceName);
    EXPECT_EQ(again.Banner, info.Banner);
}

// GetInfo and the banner keep their own text, and must agree with the one
// version that the DLL's resource, the packages and the tools take.
TEST_F(DispatchTest, GetInfoAndBannerShowTheProjectVersion) {
    DriverInfo info{};
    ASSERT_EQ(Call(GetInfoCode, &info), 0);
    EXPECT_EQ(info.Version, ZULTRK_VERSION_MAJOR * 10 + ZULTRK_VERSION_MINOR);
    EXPECT_NE(std::string(info.Banner).find(std::string("- Version ") + ZULTRK_VERSION_TEXT + " "), std::string::npos);
}

TEST_F(DispatchTest, BannerShape) {
    DriverInfo info;
    ASSERT_EQ(Call(GetInfoCode, &info), 0);
    std::string banner(info.Banner);
    ASSERT_EQ(banner.size(), 337u);
    ASSERT_EQ(banner[0], '\n');
    std::vector<std::string> lines;
    std::size_t start = 1;
    for (std::size_t nl; (nl = banner.find('\n', start)) != std::string::npos; start = nl + 1) {
        lines.push_back(banner.substr(start, nl - start));
    }
    EXPECT_EQ(start, banner.size()) << "every line ends with a line feed";
    ASSERT_EQ(lines.size(), 6u);
    const std::size_t widths[] = {62, 62, 62, 20, 62, 62};
    for (int i = 0; i < 6; ++i) EXPECT_EQ(lines[i].size(), widths[i]) << i;
    auto u = [](char c) { return static_cast<unsigned char>(c); };
    EXPECT_EQ(lines[0], "\xDA" + std::string(60, '\xC4') + "\xBF");
    EXPECT_EQ(lines[5], "\xC0" + std::string(60, '\xC4') + "\xD9");
    EXPECT_EQ(lines[1].substr(24, 13), " Z U L T R K ");
    EXPECT_EQ(u(lines[1][2]), 0xDB);
    EXPECT_EQ(u(lines[1][23]), 0xB0);
    EXPECT_EQ(u(lines[1][37]), 0xB0);
    EXPECT_EQ(lines[1].substr(58), "\xDB  \xB3");
    EXPECT_EQ(lines[2], "\xB3" + std::string(16, ' ') + "Trane Tracker panel protocol" + std::string(16, ' ') + "\xB3");
    EXPECT_EQ(lines[3], "\xB3" + std::string(15, '\t') + "   \xB3");
    EXPECT_EQ(lines[4].substr(0, 7), "\xB3      ");
    EXPECT_NE(lines[4].find(" - Version 7.0"), std::string::npos);
    EXPECT_EQ(u(lines[4][61]), 0xB3);
}

TEST_F(DispatchTest, CodesWithoutAnOperationDoNothing) {
    DriverInfo info;
    std::memset(&info, 0xAB, sizeof info);
    for (std::int32_t code : {0, 8, 9, 16, 17, 255, -1, -14, 1 << 30, INT32_MIN}) {
        EXPECT_NE(Call(code, &info), 0) << code;
    }
    const auto* bytes = reinterpret_cast<const std::uint8_t*>(&info);
    for (std::size_t i = 0; i < sizeof info; ++i) EXPECT_EQ(bytes[i], 0xAB);
    EXPECT_TRUE(log.empty());
    EXPECT_EQ(device->opens, 0);
    EXPECT_NE(ZulMain(nullptr), 0);
}

TEST_F(DispatchTest, AliasCodesRunTheSameOperation) {
    Started();
    panel.Set(0x000100, {0x34, 0x12});
    std::uint8_t a[4] = {}, b[4] = {};
    PointRequest pa = Points('W', 0x000100, 1, a), pb = Points('W', 0x000100, 1, b);
    EXPECT_EQ(Call(ReadValuesCode, &pa), Call(BlockReadCode, &pb));
    EXPECT_EQ(std::memcmp(a, b, 4), 0);
    EXPECT_EQ(a[2], 0x34);

    std::uint8_t v[4] = {0, 0, 0x78, 0x56};
    PointRequest w = Points('W', 0x000200, 1, v);
    EXPECT_EQ(Call(WriteValuesCode, &w), 0);
    EXPECT_EQ(panel.Get(0x000200, 2), (Bytes{0x78, 0x56}));
    EXPECT_EQ(Call(StopChannelCode), 0);
    EXPECT_EQ(channel.PortHandle, nullptr);
}

TEST_F(DispatchTest, HostWordHasNoInfluence) {
    DriverRequest request{};
    request.Channel = &channel;
    request.Code = GetInfoCode;
    DriverInfo info;
    request.Params = &info;
    std::memset(request.HostWord, 0x5A, 4);
    EXPECT_EQ(ZulMain(&request), 0);
    EXPECT_EQ(request.HostWord[0], 0x5A);
    EXPECT_EQ(request.HostWord[3], 0x5A);
}

} // namespace
} // namespace test
