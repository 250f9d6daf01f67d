#include "host/tool/decode.h"

#include <cstdio>
#include <fstream>
#include <iostream>
#include <iterator>

namespace zulhost {
namespace {} // namespace

nlohmann::json ItemJson(const zultrace::Item& item, double origin) {
    nlohmann::json j = {{"number", item.number},
                        {"direction", item.direction == zultrace::Direction::HostToPanel   ? "host-to-panel"
                                      : item.direction == zultrace::Direction::PanelToHost ? "panel-to-host"
                                                                                           : "unknown"},
                        {"kind", zultrace::KindName(item.kind)},
                        {"bytes", zultrace::HexText(item.raw)},
                        {"meaning", item.meaning}};
    j["time"] = item.time >= 0 && origin >= 0 ? nlohmann::json(item.time - origin) : nlohmann::json(nullptr);
    if (!item.crc.empty()) j["crc"] = item.crc;
    j["replyTo"] = item.replyTo ? nlohmann::json(item.replyTo) : nlohmann::json(nullptr);
    if (item.replyMs >= 0) j["replyMs"] = item.replyMs;
    if (item.command >= 0) j["command"] = item.command;
    if (item.address >= 0) {
        char a[24];
        std::snprintf(a, sizeof a, "%06lX", item.address);
        j["address"] = a;
    }
    if (item.count >= 0) j["count"] = item.count;
    if (item.status >= 0) j["status"] = item.status;
    if (item.versionId >= 0) j["versionId"] = item.versionId;
    if (!item.values.empty()) j["values"] = zultrace::HexText(item.values);
    return j;
}

int RunDecode(Report& report, const Options& options) {
    zultrace::Bytes file;
    if (options.decodeInput == "-") {
        file.assign(std::istreambuf_iterator<char>(std::cin), std::istreambuf_iterator<char>());
    } else {
        std::ifstream in(options.decodeInput, std::ios::binary);
        if (!in) return report.FailTool("decode: cannot read " + options.decodeInput, ExitUsage);
        file.assign(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
    }
    std::vector<zultrace::Chunk> chunks;
    std::string format, error;
    if (!zultrace::ReadCapture(file, chunks, &format, &error)) {
        return report.FailTool("decode: " + options.decodeInput + ": " + error, ExitUsage);
    }
    zultrace::LineDecoder decoder;
    std::vector<zultrace::Item> items;
    for (const zultrace::Chunk& c : chunks) {
        std::vector<zultrace::Item> more = decoder.Feed(c);
        items.insert(items.end(), more.begin(), more.end());
    }
    std::vector<zultrace::Item> rest = decoder.Finish();
    items.insert(items.end(), rest.begin(), rest.end());

    double origin = -1;
    for (const zultrace::Item& i : items) {
        if (i.time >= 0 && (origin < 0 || i.time < origin)) origin = i.time;
    }
    nlohmann::json list = nlohmann::json::array();
    for (const zultrace::Item& i : items) list.push_back(ItemJson(i, origin));
    report.Data()["input"] = options.decodeInput;
    report.Data()["format"] = format;
    report.Data()["items"] = list;
    if (!report.Json()) {
        std::printf("%s: %s, %zu chunks, %zu items\n", options.decodeInput.c_str(), format.c_str(), chunks.size(),
                    items.size());
        std::fputs(zultrace::FormatTable(items).c_str(), stdout);
    }
    return 0;
}

} // namespace zulhost
