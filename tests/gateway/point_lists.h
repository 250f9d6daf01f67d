// A point list made a panel's map in-process, as --check makes it, with the
// driver's address parsing stood in for by the syntax it checks (a letter,
// six hex digits, an optional hex bit digit): for the tests of what the
// gateway makes of a map.
#pragma once

#include <gtest/gtest.h>

#include <optional>
#include <string>
#include <vector>

#include "gateway/diagnostics.h"
#include "gateway/point_list.h"
#include "gateway/point_map.h"

namespace zulgate {

inline PanelMap MapOf(const std::string& csv) {
    std::vector<PointRow> rows;
    Diagnostics d;
    EXPECT_TRUE(ParsePointList(csv, "p.csv", rows, d)) << (d.All().empty() ? "" : d.All().front().Text());
    PanelMap map;
    AddressChecker check = [](const std::string& text) -> std::optional<zulclient::Point> {
        zulclient::Point p;
        p.letter = text[0];
        p.address = std::stoi(text.substr(1, 6), nullptr, 16);
        p.bitNumber = text.size() > 7 ? std::stoi(text.substr(7, 1), nullptr, 16) : NoBit;
        return p;
    };
    EXPECT_TRUE(BuildPanelMap(rows, "p.csv", check, map, d)) << (d.All().empty() ? "" : d.All().front().Text());
    return map;
}

} // namespace zulgate
