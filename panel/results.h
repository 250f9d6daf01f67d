// The numbers that the point operations and the handshake give back: what
// the host (and the log lines) see of each outcome.
#pragma once

#include <cstdint>

// Address checks, request codes 3 and 4.
constexpr std::int32_t AddressAccepted = 0;
constexpr std::int32_t AddressRefused = 1;

// Block read, request codes 5 and 6.
constexpr std::int32_t ReadOk = 0;
constexpr std::int32_t ReadRefused = 1; // the panel said NAK, or a request the driver cannot run
constexpr std::int32_t ReadFailed = 2;  // no usable exchange

// Block write, request codes 7 and 10; a failed preparatory read passes its own on.
constexpr std::int32_t WriteOk = 0;
constexpr std::int32_t WriteRefused = 1; // reply refused, frame too long, or a request it cannot run
constexpr std::int32_t WriteFailed = 2;  // the exchange failed

// The wake-up and version handshake; any other value is the number of the
// exchange's or the reply check's failure, passed on.
constexpr std::int32_t HandshakeOk = 0;
constexpr std::int32_t VersionRefused = 1;      // the identifier is not one of the accepted four
constexpr std::int32_t WakeNotAcknowledged = 2; // ENQ seen, but no ACK after the wake frame
