// zulsim: a simulated panel on a pseudo-terminal. Prints "PTY <device>" once
// it serves, runs until SIGINT or SIGTERM, then prints its counters.
#include <CLI/CLI.hpp>

#include "zultrk_version.h"

#include <pthread.h>
#include <signal.h>

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "sim/panel_sim.h"

namespace {

// Decimal, or hexadecimal with a 0x prefix (identifiers read best in hex).
bool ParseNumber(const std::string& text, long low, long high, long* value) {
    if (text.empty()) return false;
    bool hex = text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X');
    char* end = nullptr;
    long v = std::strtol(text.c_str(), &end, hex ? 16 : 10);
    if (*end != '\0' || v < low || v > high) return false;
    *value = v;
    return true;
}

// Empty when `text` is a number within [low, high], else why it is not.
std::string Number(const std::string& text, long low, long high, long* value) {
    if (ParseNumber(text, low, high, value)) return {};
    return "expected a number from " + std::to_string(low) + " to " + std::to_string(high);
}

// "A,B" into two parts; the second is optional when `needSecond` is false.
bool SplitPair(const std::string& text, std::string* first, std::string* second, bool needSecond) {
    std::size_t comma = text.find(',');
    if (comma == std::string::npos) {
        if (needSecond) return false;
        *first = text;
        second->clear();
        return true;
    }
    *first = text.substr(0, comma);
    *second = text.substr(comma + 1);
    return !second->empty();
}

} // namespace

int main(int argc, char** argv) {
    zulsim::Options options;
    zulsim::LineFaults& faults = options.faults;

    CLI::App app{"zulsim: a simulated panel served on a pseudo-terminal"};
    app.set_version_flag("--version", std::string("zulsim ") + ZULTRK_VERSION_TEXT);
    std::string versionId = "0xF5", readReplyCode = "0x50", delayText, lateText, memoryFile;
    std::vector<std::string> assignments;

    app.add_option("--version-id", versionId, "identifier in the version reply (default 0xF5)");
    app.add_option("--read-reply-code", readReplyCode, "first payload byte of a read reply (default 0x50)");
    app.add_flag("--silent", options.silent, "never answer anything, never announce");
    app.add_flag("--enq-without-ack", options.enqWithoutAck, "announce, but never ACK the wake frame");
    app.add_flag("--nak", options.nakAll, "answer every request frame with NAK");
    app.add_flag("--damage-crc", options.damageCrc, "send reply frames with a wrong CRC");
    app.add_option("--status", options.statusReply, "answer requests with the status reply 11 N")
        ->check(CLI::Range(0, 255));
    app.add_flag("--short-value", options.shortValueArea, "read replies lack their last value byte");
    app.add_option("--split-gap", options.splitGapMs, "split every reply in two with this gap (ms)")
        ->check(CLI::Range(0, 60000));
    app.add_option("--gaps", options.gapsMs,
                   "hand every reply over in two to four pieces, with silences of up to this between them (each at "
                   "least half of it), as a device server's packets or a radio's frames, ms")
        ->check(CLI::Range(0, 60000));
    app.add_option("--link-delay", options.linkDelayMs,
                   "a long link (radio, cellular, a device server across a WAN): on top of the turnaround, the time "
                   "a request takes to reach the panel and the reply to come back, ms")
        ->check(CLI::Range(0, 600000));
    app.add_option("--baud", options.baud, "the line's speed: both directions paced at 10 bits per byte (0: unpaced)")
        ->check(CLI::Range(0, 4000000));
    app.add_option("--turnaround", options.turnaroundMs, "start each reply this long after the request's last byte, ms")
        ->check(CLI::Range(0, 60000));
    app.add_option("--latency-timer", options.latencyTimerMs,
                   "a USB adapter's latency timer, ms: replies reach the host in bursts at its ticks (0: none)")
        ->check(CLI::Range(0, 1000));
    app.add_option("--usb-packet", options.usbPacketBytes,
                   "with --latency-timer: a burst also as soon as this many bytes wait (default 62)")
        ->check(CLI::Range(1, 4096));
    app.add_option("--enq-idle", options.enqIdleMs,
                   "announce ENQ after the line has been idle this long both ways, ms (0: never)")
        ->check(CLI::Range(0, 600000));
    app.add_option("--enq-repeat", options.enqRepeatMs, "announce at most this often, ms")
        ->check(CLI::Range(1, 600000));
    app.add_option("--flip-bit", faults.flipBit, "rate per reply byte: one bit flipped")->check(CLI::Range(0.0, 1.0));
    app.add_option("--drop-byte", faults.dropByte, "rate per reply byte: byte not sent")->check(CLI::Range(0.0, 1.0));
    app.add_option("--noise", faults.noiseByte, "rate per reply: a random byte inserted")->check(CLI::Range(0.0, 1.0));
    app.add_option("--delay", delayText,
                   "RATE[,MS[,MAX]] per reply: held back MS (default 30; with MAX, from MS to MAX) before sending, "
                   "in order: every later reply waits behind it, as a serial panel's do");
    app.add_option("--truncate", faults.truncate, "rate per reply: cut short")->check(CLI::Range(0.0, 1.0));
    app.add_option("--silence", faults.silence, "rate per request: no answer")->check(CLI::Range(0.0, 1.0));
    app.add_option("--damage-ack", faults.damageAck, "rate per wake-frame ACK: another byte instead")
        ->check(CLI::Range(0.0, 1.0));
    app.add_option("--late", faults.late,
                   "rate per reply: sent late while serving goes on (later replies overtake it; --delay holds them)")
        ->check(CLI::Range(0.0, 1.0));
    app.add_option("--late-ms", lateText, "MIN,MAX lateness of late replies, ms (default 20,200)");
    app.add_option("--seed", faults.seed, "seed of the random line faults");
    app.add_flag("--trace", options.trace, "every frame in both directions, hex, to stderr");
    app.add_option("--link", options.linkPath, "a symlink to the device (keep it within 11 characters)");
    app.add_option("--device", options.device,
                   "serve this serial device (a null-modem cable's far end, a virtual pair) instead of a pty");
    std::string pcapPath;
    app.add_option("--pcap", pcapPath, "write every byte on the line, both ways, to this pcap file (DLT_USER0)");
    app.add_option("--memory-file", memoryFile, "seed memory from a file of lines 'ADDR: hh hh ...'");
    app.add_option("--set", assignments, "seed memory: ADDR=hh,hh,... (hex; may repeat)");

    CLI11_PARSE(app, argc, argv);

    auto bad = [](const std::string& option, const std::string& why) {
        std::fprintf(stderr, "zulsim: %s: %s\n", option.c_str(), why.c_str());
        return 2;
    };
    long value = 0;
    std::string why;
    if (!(why = Number(versionId, 0, 255, &value)).empty()) return bad("--version-id", why);
    options.versionId = static_cast<std::uint8_t>(value);
    if (!(why = Number(readReplyCode, 0, 255, &value)).empty()) return bad("--read-reply-code", why);
    options.readReplyCode = static_cast<std::uint8_t>(value);
    if (!delayText.empty()) {
        std::string rate, ms;
        char* end = nullptr;
        if (!SplitPair(delayText, &rate, &ms, false)) return bad("--delay", "expected RATE[,MS]");
        faults.delay = std::strtod(rate.c_str(), &end);
        if (*end != '\0' || faults.delay < 0 || faults.delay > 1) return bad("--delay", "rate from 0 to 1");
        if (!ms.empty()) {
            std::string low, high;
            SplitPair(ms, &low, &high, false);
            if (!(why = Number(low, 0, 600000, &value)).empty()) return bad("--delay", why);
            faults.delayMs = static_cast<int>(value);
            if (!high.empty()) {
                if (!(why = Number(high, faults.delayMs, 600000, &value)).empty()) return bad("--delay", why);
                faults.delayMaxMs = static_cast<int>(value);
            }
        }
    }
    if (!lateText.empty()) {
        std::string low, high;
        long lowMs = 0, highMs = 0;
        if (!SplitPair(lateText, &low, &high, true) || !ParseNumber(low, 0, 600000, &lowMs) ||
            !ParseNumber(high, lowMs, 600000, &highMs)) {
            return bad("--late-ms", "expected MIN,MAX with MIN <= MAX");
        }
        faults.lateMinMs = static_cast<int>(lowMs);
        faults.lateMaxMs = static_cast<int>(highMs);
    }

    zultrace::PcapWriter pcap;
    std::string error;
    if (!pcapPath.empty()) {
        if (!pcap.Open(pcapPath, &error)) return bad("--pcap", error);
        options.lineTap = [&pcap](zultrace::Direction d, const std::uint8_t* bytes, std::size_t n) {
            pcap.Record(d, bytes, n);
        };
    }
    zulsim::PanelSim sim(options);
    if (!memoryFile.empty() && !sim.LoadMemoryFile(memoryFile, &error)) return bad("--memory-file", error);
    for (const std::string& a : assignments) {
        std::uint32_t address = 0;
        std::vector<std::uint8_t> bytes;
        if (!zulsim::ParseMemoryAssignment(a, &address, &bytes, &error)) return bad("--set " + a, error);
        sim.SetBytes(address, bytes);
    }

    // The serving thread inherits the blocked set, so the signals reach only sigwait.
    sigset_t stopSignals;
    sigemptyset(&stopSignals);
    sigaddset(&stopSignals, SIGINT);
    sigaddset(&stopSignals, SIGTERM);
    pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);

    if (!sim.Start(&error)) {
        std::fprintf(stderr, "zulsim: %s\n", error.c_str());
        return 1;
    }
    std::printf("%s %s\n", options.device.empty() ? "PTY" : "DEVICE", sim.DevicePath().c_str());
    std::fflush(stdout);

    int signal = 0;
    sigwait(&stopSignals, &signal);
    sim.Stop();

    zulsim::Stats s = sim.GetStats();
    std::printf(
        "STATS frames_in=%llu replies_out=%llu reads=%llu writes=%llu naks=%llu crc_errors=%llu "
        "enqs_out=%llu faults=%llu late=%llu\n",
        static_cast<unsigned long long>(s.framesIn), static_cast<unsigned long long>(s.repliesOut),
        static_cast<unsigned long long>(s.reads), static_cast<unsigned long long>(s.writes),
        static_cast<unsigned long long>(s.naks), static_cast<unsigned long long>(s.crcErrors),
        static_cast<unsigned long long>(s.enqsOut), static_cast<unsigned long long>(s.faultsInjected),
        static_cast<unsigned long long>(s.lateReplies));
    std::fflush(stdout);
    return 0;
}
