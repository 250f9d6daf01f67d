// Reading past late replies to earlier requests inside one receive: a fence
// reads past everything until its own answer, a read or write past a fence's
// late answer at the front of what it received.
#pragma once

#include "link/exchange.h"

// Drops from the first `received` bytes of the reply what the shape reads
// past, moves what is left to the front and lowers `received` to it. Returns
// the number of frames dropped (bytes outside any frame do not count).
int DropStale(MsgBuffer& reply, int& received, const ReplyShape& shape);
