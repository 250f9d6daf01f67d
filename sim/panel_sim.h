// A panel simulator that serves the panel's line protocol on a
// pseudo-terminal: the library behind the zulsim program, the host tool's
// built-in panel and the end-to-end tests.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "trace/capture.h"

namespace zulsim {

// Random line faults, each a probability per reply (or per byte where named).
struct LineFaults {
    double flipBit = 0;   // per reply byte: one bit flipped
    double dropByte = 0;  // per reply byte: byte not sent
    double noiseByte = 0; // per reply: a random byte inserted
    double delay = 0;     // per reply: held back delayMs (to delayMaxMs) in order: later replies wait behind it
    int delayMs = 30;
    int delayMaxMs = 0;   // > delayMs: each delay random from delayMs to this
    double truncate = 0;  // per reply: cut short at a random point
    double silence = 0;   // per request: no answer at all
    double damageAck = 0; // per wake-frame ACK: another byte sent instead
    double late = 0;      // per reply: sent lateMinMs..lateMaxMs late while serving goes on (later replies overtake it)
    int lateMinMs = 20;
    int lateMaxMs = 200;
    double split = 0; // per reply: sent in two halves splitMinMs..splitMaxMs apart
    int splitMinMs = 5;
    int splitMaxMs = 40;
    std::uint64_t seed = 1;
};

struct Options {
    std::uint8_t versionId = 0xF5;
    std::uint8_t readReplyCode = 0x50; // first payload byte of a block-read reply
    // Fixed fault modes.
    bool silent = false;         // never answers anything
    bool enqWithoutAck = false;  // announces, but never ACKs the wake frame
    bool nakAll = false;         // answers every request frame with NAK
    bool damageCrc = false;      // replies carry a wrong CRC
    int statusReply = -1;        // >= 0: answer requests with the status reply 11 N
    bool shortValueArea = false; // block-read replies lack their last value byte
    bool refuseWrites = false;   // answers block writes with the status reply 11 01 and stores nothing
    int splitGapMs = 0;          // > 0: replies split in two with this gap
    int gapsMs = 0;              // > 0: replies in two to four pieces, silences of up to this between them
    int linkDelayMs = 0;         // a long link: on top of the turnaround, everything the panel sends reaches
                                 // the host this much later (the way there and back of a radio, a WAN)
    // Field timing of the line between the host and the panel.
    int baud = 0;            // > 0: the line's speed, 10 bits a byte, paced both ways: a
                             // request is taken in no faster than the line brings it
    int turnaroundMs = 0;    // the panel starts each reply this long after the request's last byte
    int latencyTimerMs = 0;  // > 0: the panel's bytes reach the host through a USB adapter,
                             // in bursts at the ticks of its latency timer ...
    int usbPacketBytes = 62; // ... or as soon as a packet of this many has filled
    int enqIdleMs = 120;     // announce ENQ after this much driver silence (0: never)
    int enqRepeatMs = 150;   // and then at most this often while the silence lasts
    LineFaults faults;
    bool trace = false;                                // every frame in both directions, hex, to traceSink
    std::function<void(const std::string&)> traceSink; // default: stderr; called on the serving thread
    std::string linkPath;                              // if set, a symlink to the device path
    std::string device;                                // if set, serve this serial device instead of a pty of our own
    // Every chunk of bytes as it crosses the device: what the host wrote
    // (HostToPanel) when it is read, what the panel sends when it is written.
    // Called on the serving thread; the pcap writer of zulsim --pcap.
    std::function<void(zultrace::Direction, const std::uint8_t*, std::size_t)> lineTap;
};

struct Stats {
    std::uint64_t framesIn = 0, repliesOut = 0, reads = 0, writes = 0, naks = 0;
    std::uint64_t faultsInjected = 0, lateReplies = 0;
    std::uint64_t crcErrors = 0, enqsOut = 0;
};

// One memory assignment, "ADDR: hh hh ..." or "ADDR=hh,hh,...": a hex address
// of up to six digits, then bytes of one or two hex digits separated by
// blanks or commas. The bytes must not run past address FFFFFF.
bool ParseMemoryAssignment(const std::string& text, std::uint32_t* address, std::vector<std::uint8_t>* bytes,
                           std::string* error = nullptr);

class PanelSim {
public:
    explicit PanelSim(Options options);
    ~PanelSim();                              // stops and closes
    bool Start(std::string* error = nullptr); // opens the pty, starts serving in a thread
    void Stop();
    const std::string& DevicePath() const; // e.g. /dev/pts/3 (fits the 11-character port name); new after Reconnect();
                                           // the served device itself with Options::device

    // Sparse 24-bit panel memory; unset bytes read as 0.
    void SetBytes(std::uint32_t address, const std::vector<std::uint8_t>& bytes);
    std::vector<std::uint8_t> GetBytes(std::uint32_t address, std::size_t count) const;
    bool LoadMemoryFile(const std::string& path, std::string* error = nullptr);

    // A panel that stops answering (and announcing) while its device stays,
    // and starts again; Options::silent is silent from the start.
    void SetSilent(bool silent);

    Stats GetStats() const;
    // Device loss: closes the far end now; Reconnect() opens a fresh pty and
    // repoints linkPath at it.
    void Disconnect();
    bool Reconnect(std::string* error = nullptr);

private:
    struct Impl;
    std::unique_ptr<Impl> impl_;
};

} // namespace zulsim
