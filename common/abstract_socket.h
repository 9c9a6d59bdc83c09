// The Unix datagram sockets in the abstract namespace that carry named objects and
// mailslots. Internal to the platform layer.
#pragma once

#include <cstddef>
#include <string>

#include "common/unique_fd.h"

namespace pondrel {

// Binds a non-blocking SOCK_DGRAM socket to the abstract `name`. Invalid when another
// socket holds the name (or the name is too long).
UniqueFd BindAbstractDgram(const std::string& name, int* error = nullptr);
// Whether a socket is bound to `name` now.
bool AbstractNameBound(const std::string& name);
// Sends one datagram to `name`. A full queue is retried for up to `retry_ms`; false when
// nobody holds the name, the queue stayed full, or the datagram is too large.
bool SendAbstractDgram(const std::string& name, const void* data, std::size_t len, int retry_ms);

void SleepMs(int ms);

}  // namespace pondrel
