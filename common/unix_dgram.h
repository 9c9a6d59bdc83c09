// The Unix datagram sockets bound at paths in the runtime directory that carry mailslots and
// the service's stop request. Internal to the platform layer.
#pragma once

#include <sys/types.h>

#include <cstddef>
#include <string>

#include "common/unique_fd.h"

namespace pondrel {

// Binds a non-blocking SOCK_DGRAM socket at `path`, replacing a socket file left there (the
// caller holds the lock that makes it the owner), group-writable, with the senders'
// credentials passed along each datagram. Invalid on failure; errno-style code in `error`.
UniqueFd BindDgramPath(const std::string& path, int* error = nullptr);
// Sends one datagram to the socket at `path`. A full queue is retried for up to `retry_ms`;
// false when nobody is bound there, the queue stayed full, or the datagram is too large.
bool SendDgramPath(const std::string& path, const void* data, std::size_t len, int retry_ms);

// One received datagram: its length (the full length, even when longer than `size`), or -1
// when none waits. `uid` and `gid` are the sender's.
long ReceiveDgram(int fd, char* buf, std::size_t size, uid_t* uid, gid_t* gid);

void SleepMs(int ms);

}  // namespace pondrel
