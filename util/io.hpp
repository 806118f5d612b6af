// Small system helpers the programs and modules share: sending a whole buffer
// on a stream socket, the monotonic clock in milliseconds, and the time of day
// as printed in timestamps.
// Reporting: nothing here prints or logs; failures come back as -1 with errno
// and the caller reports them in its own words.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

// Sends every byte, continuing after short sends and interrupted calls; with
// MSG_NOSIGNAL, so a peer that closed its end cannot kill the process.
// `flags` adds to it (MSG_DONTWAIT). 0, or -1 with errno of the failed send.
[[nodiscard]] int send_all(int fd, const void *data, size_t size, int flags = 0);

// Milliseconds on the monotonic clock, for deadlines and idle times.
[[nodiscard]] int64_t monotonic_ms();

// Now in UTC, ISO 8601 with milliseconds: "2026-12-06T16:58:01.123Z".
[[nodiscard]] std::string utc_timestamp_text();
