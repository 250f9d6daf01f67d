// Shared set-up of the driver's unit tests: a fresh fake port "COM5" with a
// panel on it, a channel context, captured log lines, and request helpers.
#pragma once

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <vector>

#include "driver/zultrk.h"
#include "host/korvan/korvan.h"
#include "platform/fake/fake_port.h"
#include "tests/unit/fake_panel.h"

namespace test {

struct LogLine {
    int level;
    std::string text;
    bool operator==(const LogLine& other) const { return level == other.level && text == other.text; }
};
inline std::ostream& operator<<(std::ostream& os, const LogLine& l) { return os << "[" << l.level << "] " << l.text; }

class DriverTest : public ::testing::Test {
protected:
    void SetUp() override {
        fake::Reset();
        device = &fake::AddDevice("COM5");
        device->peer = &panel;
        std::memset(&channel, 0, sizeof channel);
        korvan_set_sink(&DriverTest::Capture, this);
    }
    void TearDown() override { korvan_set_sink(nullptr, nullptr); }

    static void Capture(int level, const char* line, void* self) {
        static_cast<DriverTest*>(self)->log.push_back({level, line});
    }

    std::int32_t Call(std::int32_t code, void* params = nullptr, std::int32_t channelNumber = 1) {
        DriverRequest request;
        std::memset(&request, 0, sizeof request);
        request.Channel = &channel;
        request.Code = code;
        request.ChannelNumber = channelNumber;
        request.Params = params;
        return ZulMain(&request);
    }

    std::int32_t ColdStartOn(const char* port, std::int32_t timeout = 100) {
        ColdStartParams p;
        std::memset(&p, 0, sizeof p);
        std::strncpy(p.PortName, port, sizeof p.PortName - 1);
        p.ActiveFlag = 1;
        p.ResponseTimeout = timeout;
        p.BaudRate = 9600;
        p.ByteSize = 8;
        return Call(ColdStartCode, &p);
    }

    // A started channel with its log and line history cleared.
    void Started() {
        ASSERT_EQ(ColdStartOn("COM5"), 0);
        ASSERT_NE(channel.PortHandle, nullptr);
        log.clear();
        device->events.clear();
        panel.requests.clear();
    }

    PointRequest Points(char letter, std::uint32_t address, std::int32_t count, void* values,
                        std::int32_t bit = NoBit) {
        PointRequest p;
        std::memset(&p, 0, sizeof p);
        p.TypeLetter = letter;
        p.PointAddress = static_cast<std::int32_t>(address);
        p.BitNumber = bit;
        p.ElementCount = count;
        p.ValueBuffer = values;
        return p;
    }

    std::vector<std::string> Texts() const {
        std::vector<std::string> out;
        for (const auto& l : log) out.push_back(l.text);
        return out;
    }

    FakePanel panel;
    fake::Device* device = nullptr;
    ChannelContext channel;
    std::vector<LogLine> log;
};

} // namespace test
