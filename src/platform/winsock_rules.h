// What the Winsock half decides from the values Windows gives it, as pure
// functions over those values, so that every build can test them with the
// rows and codes Windows would give. The constants are Windows's own;
// win/socket.cpp checks each against the system's headers.
#pragma once

#include <cstdint>
#include <span>

namespace plat::winsock {

// MIB_TCP_STATE (tcpmib.h).
constexpr std::uint32_t kTcpStateListen = 2;
constexpr std::uint32_t kTcpStateTimeWait = 11;

// The port of a row of GetExtendedTcpTable: its dwLocalPort holds the port
// in network byte order in the low 16 bits, read here as x86-64 reads it.
constexpr int row_port(std::uint32_t local_port) {
    return static_cast<int>(((local_port & 0xff) << 8) | ((local_port >> 8) & 0xff));
}

// True when a LISTEN row of either table (MIB_TCPROW_OWNER_PID for IPv4,
// MIB_TCP6ROW_OWNER_PID for IPv6, where a dual-stack listener shows only)
// holds port, on any address. Connections still settling (TIME_WAIT and
// the like) are no listeners.
template <class Row4, class Row6>
constexpr bool port_has_listener(std::span<const Row4> v4, std::span<const Row6> v6, int port) {
    auto listens = [port](const auto& row) {
        return row.dwState == kTcpStateListen && row_port(row.dwLocalPort) == port;
    };
    for (const Row4& row : v4) {
        if (listens(row)) return true;
    }
    for (const Row6& row : v6) {
        if (listens(row)) return true;
    }
    return false;
}

// Winsock error codes (winsock2.h).
constexpr int kNetDown = 10050;
constexpr int kNetReset = 10052;
constexpr int kConnAborted = 10053;
constexpr int kConnReset = 10054;
constexpr int kNotConnected = 10057;
constexpr int kShutDown = 10058;
constexpr int kTimedOut = 10060;
constexpr int kDisconnected = 10101;

// Whether a readiness receive that failed to start with `code` leaves the
// socket "ready". WSARecv documents that after a start error no completion
// comes, while a non-blocking recv may still answer "would block": only an
// error of the connection itself, which the next transfer reports too,
// lets the caller go on; any other would have it wait again at once, for
// ever.
constexpr bool start_error_means_ready(int code) {
    switch (code) {
    case kNetDown:
    case kNetReset:
    case kConnAborted:
    case kConnReset:
    case kNotConnected:
    case kShutDown:
    case kTimedOut:
    case kDisconnected:
        return true;
    default:
        return false;
    }
}

// XP1_IFS_HANDLES of WSAPROTOCOL_INFOW.dwServiceFlags1 (winsock2.h).
constexpr std::uint32_t kIfsHandles = 0x00020000;

// Whether sockets of a provider with these service flags can be served: a
// layered provider without IFS handles keeps the OVERLAPPED's status for
// itself, and CancelIoEx on its socket does not reach the base socket, so
// waits that read the status, and cancels that wait for it, would hang.
constexpr bool provider_has_ifs_handles(std::uint32_t service_flags1) {
    return (service_flags1 & kIfsHandles) != 0;
}

}  // namespace plat::winsock
