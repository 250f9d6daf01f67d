// The connection between zulgate and a panel's worker, on a real socket
// pair: messages of any length arrive whole and in order, the gateway's end
// never blocks, and a message that is cut short or claims more than it
// holds is refused, never read past its end.
#include <gtest/gtest.h>

#include <sys/socket.h>

#include <numeric>

#include "gateway/worker/channel.h"
#include "gateway/worker/protocol.h"

namespace {

using namespace zulgate;
using namespace zulgate::worker;
using Bytes = std::vector<std::uint8_t>;

struct Pair {
    Pair() {
        int fds[2];
        EXPECT_EQ(socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, fds), 0);
        gateway = std::make_unique<Channel>(fds[0], false);
        worker = std::make_unique<Channel>(fds[1], true);
    }
    std::unique_ptr<Channel> gateway, worker;
};

Bytes Counting(std::size_t n) {
    Bytes b(n);
    std::iota(b.begin(), b.end(), std::uint8_t{0});
    return b;
}

// Receives on `to` what `from` has to send, flushing as the socket takes it.
Channel::Got Carry(Channel& from, Channel& to, Bytes& got) {
    for (int turns = 0; turns < 100000; ++turns) {
        if (!from.Flush()) return Channel::Got::Broken;
        Channel::Got r = to.Receive(got);
        if (r != Channel::Got::Nothing) return r;
    }
    return Channel::Got::Nothing;
}

TEST(WorkerChannel, MessagesOfEveryLengthArriveWholeAndInOrder) {
    Pair pair;
    const std::vector<std::size_t> lengths{1, Channel::PacketBytes - 1, Channel::PacketBytes, Channel::PacketBytes + 1,
                                           5 * Channel::PacketBytes + 7};
    for (std::size_t n : lengths) ASSERT_TRUE(pair.gateway->Send(Counting(n)));
    for (std::size_t n : lengths) {
        Bytes got;
        ASSERT_EQ(Carry(*pair.gateway, *pair.worker, got), Channel::Got::Message) << n;
        EXPECT_EQ(got, Counting(n));
    }
    ASSERT_TRUE(pair.worker->Send(Counting(3))); // and the other way
    Bytes back;
    ASSERT_EQ(pair.gateway->Receive(back), Channel::Got::Message);
    EXPECT_EQ(back, Counting(3));
    Bytes none;
    EXPECT_EQ(pair.gateway->Receive(none), Channel::Got::Nothing);
    pair.worker.reset();
    EXPECT_EQ(pair.gateway->Receive(none), Channel::Got::Closed);
}

TEST(WorkerChannel, TheGatewaysEndKeepsWhatTheSocketCannotTakeYet) {
    Pair pair;
    const Bytes big = Counting(4 * 1024 * 1024); // far more than a socket's buffer
    ASSERT_TRUE(pair.gateway->Send(big));        // returns at once
    EXPECT_TRUE(pair.gateway->Pending());
    Bytes got;
    ASSERT_EQ(Carry(*pair.gateway, *pair.worker, got), Channel::Got::Message);
    EXPECT_EQ(got, big);
    EXPECT_FALSE(pair.gateway->Pending());
}

TEST(WorkerChannel, AMessageCutShortOrClaimingMoreThanItHoldsIsRefused) {
    MessageWriter store(MessageKind::Store);
    Put(store, std::vector<PointStore::Update>{{3, 0x1234}, {7, 0xFFFFFFFF}});
    store.Time(Clock::now());
    const Bytes whole = store.Bytes();
    {
        MessageReader m(whole);
        std::vector<PointStore::Update> updates = GetUpdates(m);
        m.Time();
        ASSERT_TRUE(m.Done());
        ASSERT_EQ(updates.size(), 2u);
        EXPECT_EQ(updates[1].value, 7u);
        EXPECT_EQ(updates[1].raw, 0xFFFFFFFFu);
    }
    for (std::size_t cut = 0; cut < whole.size(); ++cut) {
        Bytes part(whole.begin(), whole.begin() + static_cast<std::ptrdiff_t>(cut));
        MessageReader m(part);
        GetUpdates(m);
        m.Time();
        EXPECT_FALSE(m.Done()) << "cut to " << cut << " bytes";
    }
    // A count of 2^60 updates in a message of a few bytes: nothing made of it.
    MessageWriter lying(MessageKind::Store);
    lying.U64(std::uint64_t{1} << 60).U64(0).U32(0);
    MessageReader m(lying.Bytes());
    EXPECT_TRUE(GetUpdates(m).empty());
    EXPECT_FALSE(m.Ok());
}

TEST(WorkerChannel, TheSetupArrivesAsTheGatewayReadIt) {
    WorkerSetup sent;
    sent.library = "/usr/lib/x86_64-linux-gnu/libzultrk.so.7";
    sent.librarySearch = true;
    sent.configPath = "/etc/zultrk/gateway.toml";
    sent.configText = "[[panel]]\nname = \"ahu1\"\n";
    sent.panel = 5;
    sent.pointsText = std::string(100000, 'x') + "\r\n\xEF\xBB\xBF"; // long, and any bytes
    sent.port = "/tmp/zulgate-ports-1/ahu1";                         // the gateway's entry for a device server's URL
    sent.threshold = Level::Debug;
    Pair pair;
    ASSERT_TRUE(pair.gateway->Send(EncodeSetup(sent)));
    Bytes message;
    ASSERT_EQ(Carry(*pair.gateway, *pair.worker, message), Channel::Got::Message);
    WorkerSetup got;
    ASSERT_TRUE(DecodeSetup(message, got));
    EXPECT_EQ(got.library, sent.library);
    EXPECT_TRUE(got.librarySearch);
    EXPECT_EQ(got.configPath, sent.configPath);
    EXPECT_EQ(got.configText, sent.configText);
    EXPECT_EQ(got.panel, 5u);
    EXPECT_EQ(got.pointsText, sent.pointsText);
    EXPECT_EQ(got.port, sent.port);
    EXPECT_EQ(got.threshold, Level::Debug);
    message.push_back(0); // one byte too many
    EXPECT_FALSE(DecodeSetup(message, got));
}

} // namespace
