// What one exchange with the panel, or one of its steps, comes to; and the
// number each outcome has in the log lines and for the request operations.
#pragma once

enum class LinkStatus {
    Ok,
    WriteFailed, // the port refused the write
    ShortWrite,  // fewer bytes went out than asked; value: how many did
    NoReply,     // not one byte arrived
    ReadFailed,  // the port refused the last read of a receive
    Nak,         // the panel refused the request
    NoFrame,     // no single complete frame in the reply
    CrcMismatch, // the reply's CRC is not the one computed over it
    PanelStatus, // a status reply other than 0; value: the status code
    Unexpected,  // a valid frame, but not the kind or length of reply the request asked for
    NotInStep,   // not sent: the line may still carry an earlier reply, and the fence was not answered
};

struct LinkResult {
    LinkStatus status = LinkStatus::Ok;
    int value = 0;

    bool Ok() const { return status == LinkStatus::Ok; }
};

inline LinkResult Linked(LinkStatus status, int value = 0) { return LinkResult{status, value}; }

// The panel's reply was refused (NAK, framing, CRC, status, or not the reply
// asked for), as against an exchange that failed before any reply.
inline bool ReplyRefused(LinkResult result) {
    switch (result.status) {
    case LinkStatus::Nak:
    case LinkStatus::NoFrame:
    case LinkStatus::CrcMismatch:
    case LinkStatus::PanelStatus:
    case LinkStatus::Unexpected:
        return true;
    default:
        return false;
    }
}

// 0 for Ok; 7 a failed write or read; the count written, or 2 when none was,
// for a short write; 2 no reply; 1 NAK; 2 no frame or not the reply asked
// for; 3 a CRC mismatch; the panel's own status code.
int LinkResultCode(LinkResult result);
