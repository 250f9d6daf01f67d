#include "gateway/private_ports.h"

#include <dirent.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <set>

#include "host/client/port_lookup.h"

namespace zulgate {
namespace {

std::set<std::string> EntriesOf(const std::string& folder) {
    std::set<std::string> out;
    if (DIR* d = opendir(folder.c_str())) {
        while (dirent* e = readdir(d)) {
            std::string n = e->d_name;
            if (n != "." && n != "..") out.insert(n);
        }
        closedir(d);
    }
    return out;
}

} // namespace

PrivatePorts::PrivatePorts(const std::vector<PanelConfig>& panels, Log& log) {
    for (const PanelConfig& p : panels) names_.push_back(p.port);
    bool any = false;
    for (const PanelConfig& p : panels) any = any || zulclient::LooksLikeDeviceServer(p.port);
    if (!any) return;

    const std::string site = zulclient::PortsFolder();
    const char* tmp = std::getenv("TMPDIR");
    std::string pattern = std::string(tmp && *tmp ? tmp : "/tmp") + "/zulgate-ports-XXXXXX";
    std::vector<char> path(pattern.begin(), pattern.end());
    path.push_back('\0');
    if (mkdtemp(path.data()) == nullptr) {
        log.Say(Level::Error, "gateway",
                "cannot make a ports folder for the device servers' URLs under " + pattern + ": " +
                    std::strerror(errno) + "; their panels cannot start");
        return;
    }
    folder_ = path.data();

    // The site's entries first, so that every name a panel gives keeps
    // meaning what it meant.
    std::set<std::string> taken = EntriesOf(site);
    for (const std::string& entry : taken) {
        if (symlink((site + "/" + entry).c_str(), (folder_ + "/" + entry).c_str()) != 0) {
            log.Say(Level::Warning, "gateway",
                    "cannot link the ports-folder entry " + site + "/" + entry + ": " + std::strerror(errno));
        }
    }
    int next = 1;
    for (std::size_t i = 0; i < panels.size(); ++i) {
        if (!zulclient::LooksLikeDeviceServer(panels[i].port)) continue;
        std::string name;
        do name = "url" + std::to_string(next++);
        while (taken.count(name) != 0);
        taken.insert(name);
        if (symlink(panels[i].port.c_str(), (folder_ + "/" + name).c_str()) != 0) {
            log.Say(Level::Error, panels[i].name,
                    "cannot make the port entry for " + panels[i].port + ": " + std::strerror(errno));
            continue;
        }
        names_[i] = name;
    }
    setenv("ZULTRK_PORTS", folder_.c_str(), 1);
    log.Say(Level::Debug, "gateway", "device servers' ports in " + folder_ + " (beside the entries of " + site + ")");
}

PrivatePorts::~PrivatePorts() {
    if (folder_.empty()) return;
    std::error_code ignored;
    std::filesystem::remove_all(folder_, ignored); // the links only: remove_all does not follow them
}

} // namespace zulgate
