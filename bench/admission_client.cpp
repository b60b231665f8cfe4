// The owner's side of bench/admission.sh: GET /ping on a new connection, one after another, each
// timed inside this process from the connect to the first byte of the reply, so that Wine's
// program start is not counted. The request is written right after the connect, as the
// diagnostic client does (Wine ties a socket to its process only at its first send).
// Usage: admission_client <port> <requests> <timeout ms> <budget ms>
// Prints one line per request made: "ms <milliseconds>", or "timeout" when no byte came within
// the timeout; stops making requests once the budget is spent.
#include <winsock2.h>
#include <ws2tcpip.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

using Clock = std::chrono::steady_clock;

// Waits until `socket` is writable (`write`) or readable, at most until `deadline`.
bool wait_for(SOCKET socket, bool write, Clock::time_point deadline) {
    const auto left =
        std::chrono::duration_cast<std::chrono::microseconds>(deadline - Clock::now());
    if (left.count() <= 0) {
        return false;
    }
    fd_set set;
    FD_ZERO(&set);
    FD_SET(socket, &set);
    fd_set failed;
    FD_ZERO(&failed);
    FD_SET(socket, &failed);
    timeval wait{static_cast<long>(left.count() / 1000000),
                 static_cast<long>(left.count() % 1000000)};
    int ready = ::select(0, write ? nullptr : &set, write ? &set : nullptr, &failed, &wait);
    return ready > 0 && FD_ISSET(socket, &set);
}

// The time to the first reply byte in milliseconds, or a negative value for none in time.
double ping_once(unsigned short port, std::chrono::milliseconds timeout) {
    const auto start = Clock::now();
    const auto deadline = start + timeout;
    SOCKET socket = ::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    if (socket == INVALID_SOCKET) {
        return -1;
    }
    u_long non_blocking = 1;
    ::ioctlsocket(socket, FIONBIO, &non_blocking);
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    address.sin_port = htons(port);
    double result = -1;
    const std::string request = "GET /ping?coreSha256=" + std::string(64, '0') +
                                " HTTP/1.1\r\nHost: 127.0.0.1\r\nConnection: close\r\n\r\n";
    if ((::connect(socket, reinterpret_cast<const sockaddr*>(&address), sizeof address) == 0 ||
         ::WSAGetLastError() == WSAEWOULDBLOCK) &&
        wait_for(socket, true, deadline) &&
        ::send(socket, request.data(), static_cast<int>(request.size()), 0) ==
            static_cast<int>(request.size()) &&
        wait_for(socket, false, deadline)) {
        char byte = 0;
        if (::recv(socket, &byte, 1, 0) == 1) {
            result = std::chrono::duration<double, std::milli>(Clock::now() - start).count();
        }
    }
    ::closesocket(socket);
    return result;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 5) {
        std::fprintf(stderr,
                     "usage: admission_client <port> <requests> <timeout ms> <budget ms>\n");
        return 2;
    }
    const auto port = static_cast<unsigned short>(std::atoi(argv[1]));
    const int requests = std::atoi(argv[2]);
    const std::chrono::milliseconds timeout(std::atoi(argv[3]));
    const auto budget_end = Clock::now() + std::chrono::milliseconds(std::atoi(argv[4]));
    WSADATA data;
    if (::WSAStartup(MAKEWORD(2, 2), &data) != 0) {
        return 1;
    }
    for (int i = 0; i < requests && Clock::now() < budget_end; ++i) {
        double ms = ping_once(port, timeout);
        if (ms < 0) {
            std::printf("timeout\n");
        } else {
            std::printf("ms %.3f\n", ms);
        }
        std::fflush(stdout);
    }
    ::WSACleanup();
    return 0;
}
