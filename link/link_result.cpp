#include "link/link_result.h"

int LinkResultCode(LinkResult result) {
    switch (result.status) {
    case LinkStatus::Ok:
        return 0;
    case LinkStatus::WriteFailed:
    case LinkStatus::ReadFailed:
        return 7;
    case LinkStatus::ShortWrite:
        return result.value == 0 ? 2 : result.value;
    case LinkStatus::NoReply:
    case LinkStatus::NoFrame:
    case LinkStatus::Unexpected:
    case LinkStatus::NotInStep:
        return 2;
    case LinkStatus::Nak:
        return 1;
    case LinkStatus::CrcMismatch:
        return 3;
    case LinkStatus::PanelStatus:
        return result.value;
    }
    return 2;
}
