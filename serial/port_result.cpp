#include "serial/port_result.h"

int PortResultCode(PortResult result) {
    switch (result) {
    case PortResult::Ok:
        return 0;
    case PortResult::OpenFailed:
    case PortResult::TimeoutsRefused:
    case PortResult::DrainFailed:
        return 1;
    case PortResult::ShortWrite:
        return 2;
    case PortResult::StateUnreadable:
        return 4;
    case PortResult::StateRefused:
        return 5;
    case PortResult::CallFailed:
    case PortResult::NothingRead:
        return 7;
    }
    return 7;
}
