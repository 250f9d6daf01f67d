// What the library sends an RFC 2217 server, seen by a peer of the test's
// own that agrees to the options and records every byte: the offers, the
// line settings, the handshake's RTS pulse, and the purge of the server's
// buffer ahead of the wake frame. (ser2net's device, a pseudo-terminal, has
// no RTS to show.)
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>

#include <algorithm>
#include <atomic>
#include <filesystem>

#include "tests/devsrv/ser2net.h"
#include "tests/e2e/host.h"

namespace devsrv {
namespace {

using e2e::Bytes;

constexpr std::uint8_t IAC = 255, SB = 250, SE = 240, WILL = 251, DO = 253;

// Accepts one connection, agrees to COM-PORT-CONTROL and binary, answers
// the RTS pulse's end with ENQ, and hangs up once the wake frame came.
class RecordingPeer {
public:
    RecordingPeer() {
        listener_ = socket(AF_INET, SOCK_STREAM, 0);
        sockaddr_in a{};
        a.sin_family = AF_INET;
        a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t length = sizeof a;
        bind(listener_, reinterpret_cast<sockaddr*>(&a), sizeof a);
        listen(listener_, 1);
        getsockname(listener_, reinterpret_cast<sockaddr*>(&a), &length);
        port = ntohs(a.sin_port);
        thread_ = std::thread([this] { Serve(); });
    }
    ~RecordingPeer() {
        thread_.join();
        close(listener_);
    }
    Bytes Received() {
        thread_.join();
        thread_ = std::thread([] {});
        return received_;
    }
    int port = 0;

private:
    static bool Has(const Bytes& bytes, const Bytes& part) {
        return std::search(bytes.begin(), bytes.end(), part.begin(), part.end()) != bytes.end();
    }
    void Serve() {
        pollfd p{listener_, POLLIN, 0};
        if (poll(&p, 1, 5000) <= 0) return;
        int fd = accept(listener_, nullptr, nullptr);
        const Bytes agree{IAC, DO, 44, IAC, DO, 0, IAC, WILL, 0};
        send(fd, agree.data(), agree.size(), MSG_NOSIGNAL);
        const Bytes rtsOn{IAC, SB, 44, 5, 11, IAC, SE};
        const Bytes wake{0x10, 0x02, 0x31, 0x10, 0x03, 0xB4, 0xBD};
        bool announced = false;
        auto until = e2e::Clock::now() + std::chrono::seconds(5);
        while (e2e::Clock::now() < until && !Has(received_, wake)) {
            pollfd q{fd, POLLIN, 0};
            if (poll(&q, 1, 50) > 0) {
                std::uint8_t chunk[512];
                ssize_t n = recv(fd, chunk, sizeof chunk, 0);
                if (n <= 0) break;
                received_.insert(received_.end(), chunk, chunk + n);
            }
            // The RTS line as the last SET-CONTROL left it: up after a pulse.
            const Bytes rtsOff{IAC, SB, 44, 5, 12, IAC, SE};
            auto off = std::search(received_.begin(), received_.end(), rtsOff.begin(), rtsOff.end());
            if (!announced && off != received_.end() &&
                std::search(off, received_.end(), rtsOn.begin(), rtsOn.end()) != received_.end()) {
                const std::uint8_t enq = 0x05;
                send(fd, &enq, 1, MSG_NOSIGNAL);
                announced = true;
            }
        }
        close(fd);
    }

    int listener_ = -1;
    std::thread thread_;
    Bytes received_;
};

// Where part first occurs, or npos.
std::size_t Find(const Bytes& bytes, const Bytes& part, std::size_t from = 0) {
    auto at = std::search(bytes.begin() + static_cast<std::ptrdiff_t>(std::min(from, bytes.size())), bytes.end(),
                          part.begin(), part.end());
    return at == bytes.end() ? std::string::npos : static_cast<std::size_t>(at - bytes.begin());
}

class Rfc2217Peer : public e2e::HostTest {};

TEST_F(Rfc2217Peer, OffersSettingsRtsPulseAndPurgeInTheirOrder) {
    std::string folder = gwtest::TempFolder();
    mkdir((folder + "/ports").c_str(), 0700);
    setenv("ZULTRK_PORTS", (folder + "/ports").c_str(), 1);
    RecordingPeer peer;
    ASSERT_EQ(symlink(Ser2net::Url("rfc2217", peer.port).c_str(), (folder + "/ports/PEER").c_str()), 0);
    ColdStartParams p = StartParams("PEER", 10);
    p.BaudRate = 19200;
    p.Parity = 2; // even
    p.StopBits = 2;
    Call(ColdStartCode, &p); // the peer hangs up after the wake frame: the handshake then fails
    Bytes got = peer.Received();
    if (channel.PortHandle != nullptr) Call(ClosePortCode);
    unsetenv("ZULTRK_PORTS");
    std::filesystem::remove_all(folder);

    // In this order, each found after the one before.
    const std::vector<std::pair<const char*, Bytes>> steps{
        {"WILL COM-PORT-OPTION", {IAC, WILL, 44}},
        {"SET-BAUDRATE 19200", {IAC, SB, 44, 1, 0x00, 0x00, 0x4B, 0x00, IAC, SE}},
        {"SET-DATASIZE 8", {IAC, SB, 44, 2, 8, IAC, SE}},
        {"SET-PARITY EVEN", {IAC, SB, 44, 3, 3, IAC, SE}},
        {"SET-STOPSIZE 2", {IAC, SB, 44, 4, 2, IAC, SE}},
        {"SET-CONTROL no flow control", {IAC, SB, 44, 5, 1, IAC, SE}},
        {"SET-CONTROL DTR OFF", {IAC, SB, 44, 5, 9, IAC, SE}},
        {"SET-CONTROL RTS ON", {IAC, SB, 44, 5, 11, IAC, SE}},
        {"the pulse: SET-CONTROL RTS OFF", {IAC, SB, 44, 5, 12, IAC, SE}},
        {"the pulse: SET-CONTROL RTS ON", {IAC, SB, 44, 5, 11, IAC, SE}},
        {"PURGE-DATA the server's receive buffer", {IAC, SB, 44, 12, 1, IAC, SE}},
        {"the wake frame", {0x10, 0x02, 0x31, 0x10, 0x03, 0xB4, 0xBD}},
    };
    std::size_t at = 0;
    for (const auto& [what, bytes] : steps) {
        std::size_t found = Find(got, bytes, at);
        ASSERT_NE(found, std::string::npos) << what << " missing after byte " << at << " of " << e2e::Hex(got);
        at = found + bytes.size();
    }
}

} // namespace
} // namespace devsrv
