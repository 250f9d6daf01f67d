// What a port operation reports, and the number each outcome has where a
// caller passes it on.
#pragma once

enum class PortResult {
    Ok,
    OpenFailed,      // the device could not be opened
    TimeoutsRefused, // the device refused its timeouts
    StateUnreadable, // the device's line state could not be read
    StateRefused,    // the device refused the new line state
    ShortWrite,      // fewer bytes were written than asked
    CallFailed,      // the platform call failed
    NothingRead,     // a read ended at its timeout with no byte
    DrainFailed,     // the last read of an input drain failed
};

// 0 for Ok; 1 open, timeouts or drain; 2 short write; 4 and 5 the line
// state; 7 a failed call or an empty read.
int PortResultCode(PortResult result);
