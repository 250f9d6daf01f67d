#include "platform/fake/fake_port.h"

#include <algorithm>
#include <cstring>
#include <memory>

namespace fake {
namespace {

Micros now = 0;
Micros sleepTick = 0;
std::vector<std::unique_ptr<Device>> devices;
struct Handle {
    Device* device;
    bool open;
};
std::vector<Handle> handles;
constexpr std::intptr_t FirstHandle = 0x100;

Handle* Lookup(HANDLE handle) {
    auto id = reinterpret_cast<std::intptr_t>(handle) - FirstHandle;
    if (id < 0 || id >= static_cast<std::intptr_t>(handles.size()) || !handles[id].open) return nullptr;
    return &handles[id];
}

Device* Live(HANDLE handle) {
    Handle* h = Lookup(handle);
    return h ? h->device : nullptr;
}

std::size_t ArrivedBy(const Device& d, Micros t) {
    std::size_t n = 0;
    for (const auto& entry : d.incoming) {
        if (entry.first > t) break;
        ++n;
    }
    return n;
}

void Record(Device& d, Event::Kind kind, std::vector<std::uint8_t> bytes = {}) {
    d.events.push_back(Event{kind, now, std::move(bytes)});
}

} // namespace

Micros Now() { return now; }

void SetSleepTick(Micros tick) { sleepTick = tick; }

void Reset() {
    now = 0;
    sleepTick = 0;
    devices.clear();
    handles.clear();
}

Device& AddDevice(const std::string& name) {
    devices.push_back(std::make_unique<Device>());
    devices.back()->name = name;
    return *devices.back();
}

Device* Find(const std::string& name) {
    for (auto& d : devices) {
        if (d->name == name) return d.get();
    }
    return nullptr;
}

Device* DeviceOf(HANDLE handle) { return Live(handle); }

int OpenHandleCount() {
    return static_cast<int>(std::count_if(handles.begin(), handles.end(), [](const Handle& h) { return h.open; }));
}

void Device::Deliver(const std::vector<std::uint8_t>& bytes, Micros delay, Micros perByte) {
    Micros t = now + delay;
    for (std::uint8_t b : bytes) {
        incoming.emplace_back(t, b);
        t += perByte;
    }
    std::stable_sort(incoming.begin(), incoming.end(), [](const auto& a, const auto& b) { return a.first < b.first; });
}

std::size_t Device::Waiting() const { return ArrivedBy(*this, now); }

std::vector<std::uint8_t> Device::Written() const {
    std::vector<std::uint8_t> all;
    for (const auto& e : events) {
        if (e.kind == Event::Write) all.insert(all.end(), e.bytes.begin(), e.bytes.end());
    }
    return all;
}

std::vector<std::vector<std::uint8_t>> Device::Writes() const {
    std::vector<std::vector<std::uint8_t>> all;
    for (const auto& e : events) {
        if (e.kind == Event::Write) all.push_back(e.bytes);
    }
    return all;
}

int Device::CountWrites(const std::vector<std::uint8_t>& bytes) const {
    int n = 0;
    for (const auto& e : events) n += e.kind == Event::Write && e.bytes == bytes;
    return n;
}

int Device::RtsPulses() const {
    int n = 0;
    for (const auto& e : events) n += e.kind == Event::RtsHigh;
    return n;
}

} // namespace fake

using fake::Device;
using fake::Event;

extern "C" {

HANDLE CreateFileA(LPCSTR name, DWORD, DWORD, LPSECURITY_ATTRIBUTES, DWORD, DWORD, HANDLE) {
    // Devices are named as a host names them; \\.\ is the Win32 device namespace.
    const char* given = name;
    if (std::strncmp(name, "\\\\.\\", 4) == 0) name += 4;
    fake::Device* d = fake::Find(name);
    if (d == nullptr && std::strcmp(name, "NUL") == 0) {
        d = &fake::AddDevice("NUL");
        d->nullDevice = true;
        d->serial = false;
        d->exclusive = false;
    }
    if (d == nullptr || d->failOpen || (d->exclusive && d->openHandles > 0)) return INVALID_HANDLE_VALUE;
    ++d->openHandles;
    ++d->opens;
    d->openedAs = given;
    fake::Record(*d, Event::Open);
    fake::handles.push_back({d, true});
    return reinterpret_cast<HANDLE>(fake::FirstHandle + static_cast<std::intptr_t>(fake::handles.size()) - 1);
}

BOOL CloseHandle(HANDLE handle) {
    fake::Handle* h = fake::Lookup(handle);
    if (h == nullptr || h->device->failClose) return 0;
    h->open = false;
    --h->device->openHandles;
    fake::Record(*h->device, Event::Close);
    return 1;
}

BOOL GetCommState(HANDLE handle, LPDCB dcb) {
    Device* d = fake::Live(handle);
    if (d == nullptr || !d->serial || d->failGetCommState) return 0;
    DWORD length = dcb->DCBlength;
    *dcb = d->dcb;
    dcb->DCBlength = length;
    return 1;
}

BOOL SetCommState(HANDLE handle, LPDCB dcb) {
    Device* d = fake::Live(handle);
    if (d == nullptr || !d->serial || d->failSetCommState) return 0;
    d->dcb = *dcb;
    return 1;
}

BOOL GetCommTimeouts(HANDLE handle, LPCOMMTIMEOUTS timeouts) {
    Device* d = fake::Live(handle);
    if (d == nullptr || d->nullDevice || d->failGetCommTimeouts) return 0;
    *timeouts = d->timeouts;
    return 1;
}

BOOL SetCommTimeouts(HANDLE handle, LPCOMMTIMEOUTS timeouts) {
    Device* d = fake::Live(handle);
    if (d == nullptr || d->nullDevice || d->failSetCommTimeouts) return 0;
    d->timeouts = *timeouts;
    return 1;
}

BOOL SetupComm(HANDLE handle, DWORD inQueue, DWORD outQueue) {
    Device* d = fake::Live(handle);
    if (d == nullptr || d->nullDevice || d->failSetupComm) return 0;
    d->inQueue = inQueue;
    d->outQueue = outQueue;
    return 1;
}

BOOL ClearCommError(HANDLE handle, LPDWORD errors, LPCOMSTAT stat) {
    Device* d = fake::Live(handle);
    if (d == nullptr || d->nullDevice || d->failClearCommError) return 0;
    if (errors) *errors = 0;
    if (stat) {
        std::memset(stat, 0, sizeof *stat);
        stat->cbInQue = static_cast<DWORD>(d->Waiting());
    }
    return 1;
}

BOOL EscapeCommFunction(HANDLE handle, DWORD function) {
    Device* d = fake::Live(handle);
    if (d == nullptr || !d->rtsSupported) return 0;
    if (function != SETRTS && function != CLRRTS) return 1;
    d->rts = function == SETRTS;
    fake::Record(*d, d->rts ? Event::RtsHigh : Event::RtsLow);
    if (d->peer) d->peer->OnRts(*d, d->rts);
    return 1;
}

BOOL ReadFile(HANDLE handle, LPVOID buffer, DWORD toRead, LPDWORD read, LPOVERLAPPED) {
    Device* d = fake::Live(handle);
    if (read) *read = 0;
    if (d == nullptr) return 0;
    if (d->failReads > 0) {
        --d->failReads;
        return 0;
    }
    if (d->nullDevice) return 1;

    const COMMTIMEOUTS& t = d->timeouts;
    bool unbounded = t.ReadTotalTimeoutConstant == 0 && t.ReadIntervalTimeout == 0 && t.ReadTotalTimeoutMultiplier == 0;
    fake::Micros deadline = fake::now + static_cast<fake::Micros>(t.ReadTotalTimeoutConstant) * fake::Ms;
    if (unbounded) {
        // A real port would wait for ever; the fake notes it and gives up
        // after an hour of virtual time so the test can fail on it.
        d->unboundedReadSeen = true;
        deadline = fake::now + 3600 * 1000 * fake::Ms;
    }
    std::size_t want = toRead;
    if (want == 0) return 1;
    if (d->incoming.size() >= want && d->incoming[want - 1].first <= deadline) {
        fake::now = std::max(fake::now, d->incoming[want - 1].first);
    } else {
        fake::now = deadline;
    }
    std::size_t n = std::min(want, fake::ArrivedBy(*d, fake::now));
    auto* out = static_cast<std::uint8_t*>(buffer);
    for (std::size_t i = 0; i < n; ++i) {
        out[i] = d->incoming.front().second;
        d->incoming.pop_front();
    }
    if (read) *read = static_cast<DWORD>(n);
    return 1;
}

BOOL WriteFile(HANDLE handle, LPCVOID buffer, DWORD toWrite, LPDWORD written, LPOVERLAPPED) {
    Device* d = fake::Live(handle);
    if (d == nullptr) return 0;
    if (d->failWrites > 0) {
        --d->failWrites;
        return 0;
    }
    DWORD n = toWrite > static_cast<DWORD>(d->shortWriteBy) ? toWrite - static_cast<DWORD>(d->shortWriteBy) : 0;
    const auto* in = static_cast<const std::uint8_t*>(buffer);
    std::vector<std::uint8_t> bytes(in, in + n);
    if (written) *written = n;
    if (d->nullDevice) return 1;
    fake::Record(*d, Event::Write, bytes);
    if (d->peer && !bytes.empty()) d->peer->OnWrite(*d, bytes);
    return 1;
}

DWORD GetTickCount() { return static_cast<DWORD>(fake::now / fake::Ms); }

void Sleep(DWORD milliseconds) {
    fake::Micros wanted = static_cast<fake::Micros>(milliseconds) * fake::Ms;
    if (fake::sleepTick > 0) wanted = (wanted + fake::sleepTick - 1) / fake::sleepTick * fake::sleepTick;
    fake::now += wanted;
}

} // extern "C"
