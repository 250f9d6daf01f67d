// An in-memory serial port for unit tests: named devices, a virtual clock
// that Sleep and read timeouts advance (no real waiting), and a scripted
// peer that sees every byte written and every RTS change with its virtual
// time stamp and schedules the bytes it sends back.
#pragma once

#include <cstdint>
#include <deque>
#include <string>
#include <vector>

#include "platform/win32_api.h"

namespace fake {

using Micros = std::int64_t;
constexpr Micros Ms = 1000;

Micros Now();

struct Event {
    enum Kind { Write, RtsLow, RtsHigh, Open, Close } kind;
    Micros at;
    std::vector<std::uint8_t> bytes; // for Write
};

class Device;

class Peer {
public:
    virtual ~Peer() = default;
    virtual void OnWrite(Device& device, const std::vector<std::uint8_t>& bytes) = 0;
    virtual void OnRts(Device&, bool /*raised*/) {}
};

class Device {
public:
    std::string name;
    bool serial = true;      // has line state (GetCommState works)
    bool nullDevice = false; // behaves as the null device
    bool exclusive = true;   // a second open fails
    bool rtsSupported = true;
    Peer* peer = nullptr;

    // Fault switches for the port calls.
    bool failOpen = false, failGetCommState = false, failSetCommState = false;
    bool failSetCommTimeouts = false, failGetCommTimeouts = false, failSetupComm = false;
    bool failClearCommError = false, failClose = false;
    int failWrites = 0;   // the next N writes fail
    int shortWriteBy = 0; // writes lose this many bytes
    int failReads = 0;    // the next N reads fail

    COMMTIMEOUTS timeouts{};
    DCB dcb{};
    DWORD inQueue = 0, outQueue = 0;
    int openHandles = 0;
    std::string openedAs; // the name CreateFileA was last given for it
    int opens = 0;
    bool rts = false;
    bool unboundedReadSeen = false; // a read waited with no total timeout
    std::vector<Event> events;

    // Bytes from the peer, arriving `delay` from now and `perByte` apart.
    void Deliver(const std::vector<std::uint8_t>& bytes, Micros delay = 0, Micros perByte = 0);
    std::size_t Waiting() const;               // arrived and unread
    std::vector<std::uint8_t> Written() const; // every byte written, in order
    std::vector<std::vector<std::uint8_t>> Writes() const;
    int CountWrites(const std::vector<std::uint8_t>& bytes) const;
    int RtsPulses() const;

    // Internal to the backend.
    std::deque<std::pair<Micros, std::uint8_t>> incoming;
};

// Forgets every device and handle, sets the clock to 0 and Sleep back to
// exact milliseconds.
void Reset();
// Makes every Sleep last whole ticks of this length, as Windows does with its
// default 15.6 ms timer: a 10 ms pause then lasts one tick. 0: exact.
void SetSleepTick(Micros tick);
Device& AddDevice(const std::string& name);
Device* Find(const std::string& name);
Device* DeviceOf(HANDLE handle);
int OpenHandleCount();

} // namespace fake
