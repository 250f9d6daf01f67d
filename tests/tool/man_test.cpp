// The man pages cannot fall behind the programs: every option that --help
// shows, for the program and each of its commands, is in its page.
#include <gtest/gtest.h>

#include <regex>
#include <set>

#include "tests/tool/run_tool.h"

namespace {

std::set<std::string> OptionsIn(const std::string& help) {
    std::set<std::string> out;
    std::regex option("--[a-z][a-z0-9-]*");
    for (auto i = std::sregex_iterator(help.begin(), help.end(), option); i != std::sregex_iterator(); ++i) {
        out.insert(i->str());
    }
    return out;
}

// "--allow-panel-writes" as roff writes it: \-\-allow\-panel\-writes.
std::string Roff(const std::string& option) {
    std::string out;
    for (char c : option) out += c == '-' ? std::string("\\-") : std::string(1, c);
    return out;
}

std::string HelpOf(const std::string& program, const std::vector<std::string>& args) {
    std::string command = program;
    for (const auto& a : args) command += " " + a;
    command += " 2>&1";
    std::string out;
    if (std::FILE* p = popen(command.c_str(), "r")) {
        char buffer[4096];
        while (std::size_t n = std::fread(buffer, 1, sizeof buffer, p)) out.append(buffer, n);
        pclose(p);
    }
    return out;
}

TEST(ManPages, EveryOptionOfEveryCommandIsDocumented) {
    struct Program {
        const char* path;
        const char* page;
        std::vector<std::string> commands;
    };
    const Program programs[] = {
        {ZULHOST_PROGRAM,
         ZULTRK_SOURCE_DIR "/man/zulhost.1",
         {"info", "check", "read", "write", "poll", "start", "demo", "decode", "spy", "ports"}},
        {ZULSIM_PROGRAM, ZULTRK_SOURCE_DIR "/man/zulsim.1", {}},
        {ZULGATE_PROGRAM, ZULTRK_SOURCE_DIR "/man/zulgate.8", {}},
    };
    for (const Program& p : programs) {
        std::string page = zulhost_test::ReadWhole(p.page);
        ASSERT_FALSE(page.empty()) << p.page;
        std::set<std::string> options = OptionsIn(HelpOf(p.path, {"--help"}));
        EXPECT_GT(options.size(), 5u);
        for (const std::string& c : p.commands) {
            bool named = page.find("\n.B " + c + "\n") != std::string::npos ||
                         page.find("\n.BI \"" + c + " ") != std::string::npos ||
                         page.find("\n.B \"" + c + " ") != std::string::npos;
            EXPECT_TRUE(named) << p.page << " lacks the command " << c;
            for (const std::string& o : OptionsIn(HelpOf(p.path, {c, "--help"}))) options.insert(o);
        }
        for (const std::string& o : options)
            EXPECT_NE(page.find(Roff(o)), std::string::npos) << p.page << " lacks " << o;
    }
}

} // namespace
