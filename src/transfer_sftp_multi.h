// An SFTP upload over several channels of the one session, for links on
// which one channel's window is the limit.
#pragma once

#include "transfer_frame.h"

namespace tw {

// For tests: later SFTP uploads use n channels (at most four) whatever the
// link and the file; 0 lets each upload choose.
void set_upload_lanes(int n);

namespace xfer {

// The channels an upload should use, from 1 to 4: more while the link's
// round trip keeps one channel's window from filling it, and only for a
// file large enough to share out.
int upload_lanes(const Transfer &t);

// Moves the data of an upload whose remote file is open on t->handle over
// that handle and up to lanes - 1 more, each on an SFTP channel of its own
// with its own handle on the same file, writing disjoint parts of it. The
// extra channels are opened as the data moves and closed before it
// returns; a channel the server refuses is done without. t->handle is left
// open for the caller to close.
Outcome sftp_upload_lanes(Transfer *t, int lanes);

}  // namespace xfer
}  // namespace tw
