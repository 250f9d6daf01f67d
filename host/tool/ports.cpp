#include "host/tool/ports.h"

#include <dirent.h>
#include <grp.h>
#include <limits.h>
#include <pwd.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>

#include "host/client/port_lookup.h"
#include "platform/linux/port_names.h"

namespace zulhost {
namespace {

constexpr std::size_t PortNameLimit = 11;
// As long as the driver's open waits for a device server at the most.
constexpr std::chrono::milliseconds ServerWait = zulclient::LongestDeviceServerConnect;

std::vector<std::string> Entries(const std::string& folder) {
    std::vector<std::string> out;
    DIR* d = opendir(folder.c_str());
    if (!d) return out;
    while (dirent* e = readdir(d)) {
        std::string n = e->d_name;
        if (n != "." && n != "..") out.push_back(n);
    }
    closedir(d);
    std::sort(out.begin(), out.end());
    return out;
}

std::string ReadFirstLine(const std::string& path) {
    std::ifstream in(path);
    std::string line;
    std::getline(in, line);
    while (!line.empty() && (line.back() == '\n' || line.back() == '\r' || line.back() == ' ')) line.pop_back();
    return line;
}

std::string LinkTarget(const std::string& path) {
    char buffer[PATH_MAX];
    ssize_t n = readlink(path.c_str(), buffer, sizeof buffer - 1);
    return n > 0 ? std::string(buffer, static_cast<std::size_t>(n)) : std::string();
}

std::string RealPath(const std::string& path) {
    char buffer[PATH_MAX];
    return realpath(path.c_str(), buffer) ? std::string(buffer) : std::string();
}

std::string Basename(const std::string& path) {
    std::size_t slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

bool Exists(const std::string& path) {
    struct stat st;
    return stat(path.c_str(), &st) == 0;
}

std::string ModeText(mode_t mode) {
    std::string s = S_ISCHR(mode) ? "c" : S_ISDIR(mode) ? "d" : "-";
    const char* rwx = "rwxrwxrwx";
    for (int i = 0; i < 9; ++i) s += (mode & (0400 >> i)) ? rwx[i] : '-';
    return s;
}

std::string GroupName(gid_t gid) {
    group* g = getgrgid(gid);
    return g ? g->gr_name : std::to_string(gid);
}

bool MayReadAndWrite(const struct stat& st, const Identity& who) {
    if (who.uid == 0) return true;
    mode_t need;
    if (st.st_uid == who.uid) {
        need = S_IRUSR | S_IWUSR;
    } else if (std::find(who.groups.begin(), who.groups.end(), st.st_gid) != who.groups.end()) {
        need = S_IRGRP | S_IWGRP;
    } else {
        need = S_IROTH | S_IWOTH;
    }
    return (st.st_mode & need) == need;
}

// The USB device a tty belongs to: the nearest parent with idVendor.
void ReadUsb(const std::string& sysDevice, SerialDevice& d) {
    std::string dir = RealPath(sysDevice);
    for (int up = 0; up < 8 && dir.size() > 1; ++up) {
        if (Exists(dir + "/idVendor")) {
            d.usbVendor = ReadFirstLine(dir + "/idVendor");
            d.usbProduct = ReadFirstLine(dir + "/idProduct");
            d.manufacturer = ReadFirstLine(dir + "/manufacturer");
            d.product = ReadFirstLine(dir + "/product");
            d.serial = ReadFirstLine(dir + "/serial");
            return;
        }
        dir = dir.substr(0, dir.rfind('/'));
    }
}

// Processes that have the device open (their fd links) or hold a lock on it
// (/proc/locks), as far as this user may look.
std::vector<Holder> HoldersOf(const std::string& node, const std::string& shown, const Roots& roots) {
    std::vector<Holder> out;
    std::string real = RealPath(node);
    int self = getpid();
    for (const std::string& pid : Entries(roots.proc)) {
        if (pid.find_first_not_of("0123456789") != std::string::npos || std::atoi(pid.c_str()) == self) continue;
        std::string fdDir = roots.proc + "/" + pid + "/fd";
        for (const std::string& fd : Entries(fdDir)) {
            std::string target = LinkTarget(fdDir + "/" + fd);
            if (target.empty()) continue;
            if (target == node || target == shown || (!real.empty() && RealPath(target) == real)) {
                out.push_back(Holder{std::atoi(pid.c_str()), ReadFirstLine(roots.proc + "/" + pid + "/comm"), false});
                break;
            }
        }
    }
    struct stat st;
    if (stat(node.c_str(), &st) == 0) {
        char key[64];
        std::snprintf(key, sizeof key, "%02x:%02x:%lu", major(st.st_dev), minor(st.st_dev),
                      static_cast<unsigned long>(st.st_ino));
        std::ifstream locks(roots.proc + "/locks");
        for (std::string line; std::getline(locks, line);) {
            std::istringstream in(line);
            std::string number, kind, advisory, access, pid, where;
            if (!(in >> number >> kind >> advisory >> access >> pid >> where)) continue;
            if (where != key || std::atoi(pid.c_str()) == self) continue;
            std::string command = ReadFirstLine(roots.proc + "/" + pid + "/comm");
            out.push_back(Holder{std::atoi(pid.c_str()), command, true});
        }
    }
    return out;
}

bool ModemManagerRuns(const Roots& roots) {
    for (const std::string& pid : Entries(roots.proc)) {
        if (pid.find_first_not_of("0123456789") != std::string::npos) continue;
        if (ReadFirstLine(roots.proc + "/" + pid + "/comm") == "ModemManager") return true;
    }
    return false;
}

std::string HoldersText(const std::vector<Holder>& holders) {
    std::string s;
    for (const Holder& h : holders) {
        if (!s.empty()) s += ", ";
        s += "PID " + std::to_string(h.pid) + (h.command.empty() ? "" : " (" + h.command + ")") +
             (h.lock ? " holds its lock" : " has it open");
    }
    return s;
}

void Judge(SerialDevice& d, const Identity& who) {
    if (d.latencyTimerMs > 1) {
        d.warnings.push_back("latency timer " + std::to_string(d.latencyTimerMs) +
                             " ms: the adapter hands received bytes over only every " +
                             std::to_string(d.latencyTimerMs) +
                             " ms, which each reply waits for; for the fastest polls set 1 ms: echo 1 > "
                             "/sys/bus/usb-serial/devices/" +
                             d.tty + "/latency_timer (as root; contrib/udev has a rule that does it at every plug-in)");
    }
    if (!d.holders.empty()) d.warnings.push_back("in use: " + HoldersText(d.holders));
    if (!d.mayOpen) {
        d.warnings.push_back("no permission: " + (who.name.empty() ? "uid " + std::to_string(who.uid) : who.name) +
                             " may not open " + d.path + " (" + d.mode + ", group " + d.group +
                             "), not being in group " + d.group + ": sudo usermod -aG " + d.group + " " +
                             (who.name.empty() ? "USER" : who.name) + ", then log in again");
    }
}

const char* ModemManagerAdvice =
    "ModemManager is running: it probes serial devices as they appear and may write to them or hold them open; "
    "make it leave the adapter alone with ENV{ID_MM_DEVICE_IGNORE}=\"1\" in a udev rule (contrib/udev), or stop it: "
    "systemctl stop ModemManager";

// The device path the driver opens for a name, under the dev root.
std::string NodeFor(const std::string& path, const Roots& roots) {
    if (roots.dev != "/dev" && path.rfind("/dev/", 0) == 0) return roots.dev + path.substr(4);
    return path;
}

} // namespace

Roots Roots::FromEnvironment() {
    Roots r;
    if (const char* v = std::getenv("ZULHOST_DEV_ROOT"); v && *v) r.dev = v;
    if (const char* v = std::getenv("ZULHOST_SYS_ROOT"); v && *v) r.sys = v;
    if (const char* v = std::getenv("ZULHOST_PROC_ROOT"); v && *v) r.proc = v;
    r.portsFolder = PortsFolder();
    return r;
}

Identity Identity::FromEnvironment() {
    Identity who;
    if (const char* v = std::getenv("ZULHOST_IDENTITY"); v && *v) {
        // UID:GID,GID,...[:NAME]
        std::string text = v;
        std::size_t colon = text.find(':');
        who.uid = static_cast<unsigned>(std::strtoul(text.c_str(), nullptr, 10));
        std::string rest = colon == std::string::npos ? "" : text.substr(colon + 1);
        std::size_t second = rest.find(':');
        std::string groups = rest.substr(0, second);
        if (second != std::string::npos) who.name = rest.substr(second + 1);
        std::stringstream in(groups);
        for (std::string g; std::getline(in, g, ',');) {
            if (!g.empty()) who.groups.push_back(static_cast<unsigned>(std::strtoul(g.c_str(), nullptr, 10)));
        }
        return who;
    }
    who.uid = getuid();
    who.groups.push_back(getgid());
    gid_t list[256];
    int n = getgroups(256, list);
    for (int i = 0; i < n; ++i) who.groups.push_back(list[i]);
    if (passwd* p = getpwuid(who.uid)) who.name = p->pw_name;
    return who;
}

Inventory TakeInventory(const Roots& roots, const Identity& who) {
    Inventory inv;
    inv.modemManager = ModemManagerRuns(roots);
    std::string classTty = roots.sys + "/class/tty";
    // Ports-folder entries and by-id aliases, by the real file they reach.
    std::vector<std::pair<std::string, std::string>> entries, aliases;
    for (const std::string& e : Entries(roots.portsFolder)) {
        zulclient::DeviceIdentity server = zulclient::LookUpDevice(e);
        if (server.deviceServer) {
            DeviceServerEntry entry;
            entry.name = e;
            entry.url = server.path;
            inv.deviceServers.push_back(entry);
            continue;
        }
        std::string real = RealPath(roots.portsFolder + "/" + e);
        if (real.empty()) {
            inv.brokenEntries.emplace_back(e, LinkTarget(roots.portsFolder + "/" + e));
        } else {
            entries.emplace_back(e, real);
        }
    }
    std::string byId = roots.dev + "/serial/by-id";
    for (const std::string& a : Entries(byId)) aliases.emplace_back("/dev/serial/by-id/" + a, RealPath(byId + "/" + a));

    for (const std::string& tty : Entries(classTty)) {
        std::string sysDevice = classTty + "/" + tty + "/device";
        std::string driver = Basename(LinkTarget(sysDevice + "/driver"));
        if (driver.empty()) continue; // a virtual terminal, a pty: no device behind it
        // The 8250 driver makes ttyS0 to ttyS31 whether a UART is there or not.
        if (tty.rfind("ttyS", 0) == 0 && ReadFirstLine(classTty + "/" + tty + "/type") == "0") continue;
        SerialDevice d;
        d.tty = tty;
        d.path = "/dev/" + tty;
        d.driver = driver;
        std::string node = roots.dev + "/" + tty;
        struct stat st;
        d.exists = stat(node.c_str(), &st) == 0;
        if (d.exists) {
            d.mode = ModeText(st.st_mode);
            d.group = GroupName(st.st_gid);
            d.mayOpen = MayReadAndWrite(st, who);
        }
        std::string real = RealPath(node);
        for (const auto& e : entries) {
            if (!real.empty() && e.second == real) d.names.push_back(e.first);
        }
        if (d.names.empty()) d.names.push_back(tty);
        for (const auto& a : aliases) {
            if (!real.empty() && a.second == real) d.byId.push_back(a.first);
        }
        ReadUsb(sysDevice, d);
        std::string latency = ReadFirstLine(sysDevice + "/latency_timer");
        if (!latency.empty()) d.latencyTimerMs = std::atoi(latency.c_str());
        if (d.exists) d.holders = HoldersOf(node, d.path, roots);
        Judge(d, who);
        inv.devices.push_back(std::move(d));
    }
    return inv;
}

std::vector<std::string> AdviceFor(const std::string& portName, const Roots& roots, const Identity& who) {
    std::vector<std::string> out;
    ResolvedPortName r = ResolvePortName(portName.c_str());
    if (r.kind == PortNameKind::Null || r.kind == PortNameKind::Invalid || r.kind == PortNameKind::Network) return out;
    std::string real = RealPath(NodeFor(r.path, roots));
    Inventory inv = TakeInventory(roots, who);
    for (const SerialDevice& d : inv.devices) {
        if (!real.empty() && RealPath(roots.dev + "/" + d.tty) == real) {
            out.insert(out.end(), d.warnings.begin(), d.warnings.end());
        }
    }
    if (inv.modemManager) out.push_back(ModemManagerAdvice);
    return out;
}

std::string WhyOpenFailed(const std::string& portName, const Roots& roots, const Identity& who) {
    ResolvedPortName r = ResolvePortName(portName.c_str());
    if (r.kind == PortNameKind::Invalid) return "'" + portName + "' names no device";
    if (r.kind == PortNameKind::Null) return "the null device could not be opened";
    if (r.kind == PortNameKind::Network) {
        std::string how = "'" + portName + "' names " + r.path + " (" + PortNameKindText(r.kind) + ")";
        zulclient::ServerAnswer answer = zulclient::ProbeDeviceServer(r.path, ServerWait);
        if (!answer.accepts) return how + ", which does not accept a connection: " + answer.why;
        return how +
               ": it accepts a connection, but the port's is already open (here, or by another host: a device "
               "server takes one at a time), or it drops the connection at once";
    }
    std::string node = NodeFor(r.path, roots);
    std::string how = r.path;
    if (r.kind == PortNameKind::PortsFolder) how += " -> " + LinkTarget(r.path);
    how += " (" + std::string(PortNameKindText(r.kind)) + ")";
    struct stat st;
    if (stat(node.c_str(), &st) != 0) return "'" + portName + "' names " + how + ", which does not exist";
    if (!MayReadAndWrite(st, who)) {
        return "'" + portName + "' names " + how + ": no permission (" + ModeText(st.st_mode) + ", group " +
               GroupName(st.st_gid) + "; you are not in that group: sudo usermod -aG " + GroupName(st.st_gid) + " " +
               (who.name.empty() ? "USER" : who.name) + ", then log in again)";
    }
    std::vector<Holder> holders = HoldersOf(node, r.path, roots);
    if (!holders.empty()) return "'" + portName + "' names " + how + ": busy, " + HoldersText(holders);
    if (!S_ISCHR(st.st_mode)) return "'" + portName + "' names " + how + ", which is not a serial device";
    return "'" + portName + "' names " + how +
           ": it is there, but would not open as a serial line (busy in another "
           "process this user cannot see, or not a terminal)";
}

int RunPorts(Report& report, const Options&) {
    Roots roots = Roots::FromEnvironment();
    Identity who = Identity::FromEnvironment();
    Inventory inv = TakeInventory(roots, who);
    for (DeviceServerEntry& server : inv.deviceServers) {
        zulclient::ServerAnswer answer = zulclient::ProbeDeviceServer(server.url, ServerWait);
        server.accepts = answer.accepts;
        server.why = answer.why;
    }
    nlohmann::json list = nlohmann::json::array();
    std::vector<std::string> all;
    for (const SerialDevice& d : inv.devices) {
        nlohmann::json j = {{"names", d.names},   {"device", d.path},   {"byId", d.byId},
                            {"driver", d.driver}, {"exists", d.exists}, {"mayOpen", d.mayOpen},
                            {"group", d.group},   {"mode", d.mode},     {"warnings", d.warnings}};
        j["fitsPortName"] = d.names.front().size() <= PortNameLimit;
        if (!d.usbVendor.empty()) {
            j["usb"] = {{"vendor", d.usbVendor},
                        {"product", d.usbProduct},
                        {"manufacturer", d.manufacturer},
                        {"productName", d.product},
                        {"serial", d.serial}};
        }
        j["latencyTimerMs"] = d.latencyTimerMs >= 0 ? nlohmann::json(d.latencyTimerMs) : nlohmann::json(nullptr);
        nlohmann::json holders = nlohmann::json::array();
        for (const Holder& h : d.holders) holders.push_back({{"pid", h.pid}, {"command", h.command}, {"lock", h.lock}});
        j["inUseBy"] = holders;
        list.push_back(j);

        std::string head = d.names.front();
        for (std::size_t i = 1; i < d.names.size(); ++i) head += ", " + d.names[i];
        report.Say(
            head + "  ->  " + d.path + "  [" + d.driver + "]" +
            (d.names.front().size() > PortNameLimit ? "  (longer than 11 characters: make a ports-folder entry)" : ""));
        for (const std::string& a : d.byId) report.Say("    alias      " + a);
        if (!d.usbVendor.empty()) {
            report.Say("    usb        " + d.usbVendor + ":" + d.usbProduct + "  " + d.manufacturer + " " + d.product +
                       (d.serial.empty() ? "" : "  serial " + d.serial));
        }
        if (d.latencyTimerMs >= 0) report.Say("    latency    " + std::to_string(d.latencyTimerMs) + " ms");
        report.Say("    access     " + d.mode + " group " + d.group +
                   (d.mayOpen ? ", you may open it" : ", NOT for you"));
        report.Say(std::string("    in use     ") +
                   (d.holders.empty() ? "no (as far as /proc shows)" : HoldersText(d.holders)));
        for (const std::string& w : d.warnings) report.Say("    warning    " + w);
    }
    nlohmann::json servers = nlohmann::json::array();
    for (const DeviceServerEntry& e : inv.deviceServers) {
        servers.push_back({{"name", e.name}, {"url", e.url}, {"accepts", e.accepts}, {"why", e.why}});
        report.Say(e.name + "  ->  " + e.url + "  [device server]" +
                   (e.accepts ? "  accepts a connection" : "  does NOT accept a connection: " + e.why));
    }
    nlohmann::json broken = nlohmann::json::array();
    for (const auto& b : inv.brokenEntries) {
        broken.push_back({{"name", b.first}, {"target", b.second}});
        report.Say(b.first + "  ->  " + b.second + "  (ports-folder entry that points nowhere)");
    }
    if (inv.devices.empty() && inv.deviceServers.empty()) report.Say("no serial device found");
    if (inv.modemManager) report.Say("warning: " + std::string(ModemManagerAdvice));
    report.Say("ports folder: " + roots.portsFolder);
    nlohmann::json& data = report.Data();
    data["portsFolder"] = roots.portsFolder;
    data["devices"] = list;
    data["deviceServers"] = servers;
    data["brokenEntries"] = broken;
    data["modemManager"] = inv.modemManager;
    return 0;
}

void BoundDeviceServerConnects(const Options& options) {
    zulclient::BoundDeviceServerConnects(
        zulclient::DeviceServerConnectWait(std::chrono::milliseconds(std::int64_t{options.timeout} * 10)));
}

} // namespace zulhost
