// Internal to the platform library: the Asio object that watches a socket's
// readiness on a task's reactor. On POSIX it is a stream descriptor; on
// Windows, where Asio runs its select reactor (ASIO_DISABLE_IOCP) and has no
// descriptors, a TCP socket given the handle. Both offer async_wait, release
// and close with the same meaning. Nothing outside platform/ includes this header.
#pragma once

#ifdef _WIN32
#include <asio/ip/tcp.hpp>
#else
#include <asio/posix/stream_descriptor.hpp>
#endif

#include "platform/znsocketutil.h"

namespace znplatform {

#ifdef _WIN32
using AsioSocket = asio::ip::tcp::socket;
constexpr auto kWaitRead = asio::socket_base::wait_read;
constexpr auto kWaitWrite = asio::socket_base::wait_write;
constexpr auto kWaitError = asio::socket_base::wait_error;
#else
using AsioSocket = asio::posix::stream_descriptor;
constexpr auto kWaitRead = asio::posix::descriptor_base::wait_read;
constexpr auto kWaitWrite = asio::posix::descriptor_base::wait_write;
constexpr auto kWaitError = asio::posix::descriptor_base::wait_error;
#endif

// Registers a connected or connecting socket of the given family with the
// Asio object, which then owns it until release or close.
void AssignSocket(AsioSocket& desc, NativeSocket fd, int family, asio::error_code& ec);
// Gives the socket back without closing it; kNoSocket when that fails.
NativeSocket ReleaseSocket(AsioSocket& desc);

}  // namespace znplatform
