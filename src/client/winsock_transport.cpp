#include "client/winsock_transport.hpp"

#include "names.hpp"
#include "text.hpp"
#include "win/handles.hpp"

namespace drovane::client {

Result<unsigned> read_helper_port() {
    DWORD port = 0;
    DWORD size = sizeof(port);
    LSTATUS status =
        RegGetValueW(HKEY_LOCAL_MACHINE, names::runtime_key_wide.data(),
                     names::port_value_wide.data(), RRF_RT_REG_DWORD, nullptr, &port, &size);
    if (status != ERROR_SUCCESS) {
        return Error::os(static_cast<std::uint32_t>(status))
            .context(
                "the Helper is not installed or not running: no Port value under "
                "HKEY_LOCAL_MACHINE\\" +
                std::string(names::runtime_key));
    }
    if (port == 0 || port > 65535) {
        return Error("the Helper published no valid port: " + std::to_string(port));
    }
    return static_cast<unsigned>(port);
}

Result<HttpReply> WinsockTransport::exchange(std::string_view method, std::string_view target,
                                             std::string_view json_body) {
    Result<unsigned> port = read_helper_port();
    DROVANE_RETURN_IF_ERROR(port);
    win::unique_socket socket(::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP));
    if (!socket) {
        return Error::os(WSAGetLastError()).context("create a socket");
    }
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<u_short>(*port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    if (connect(socket.get(), reinterpret_cast<const sockaddr*>(&address), sizeof(address)) != 0) {
        return Error::os(WSAGetLastError())
            .context("connect to the Helper at 127.0.0.1:" + std::to_string(*port));
    }
    // The request goes out right after connecting: the Helper identifies the client's
    // process by its socket, which the system ties to the process at its first send.
    std::string request = format_request(method, target, *port, json_body);
    for (std::size_t sent = 0; sent < request.size();) {
        int n =
            send(socket.get(), request.data() + sent, static_cast<int>(request.size() - sent), 0);
        if (n == SOCKET_ERROR) {
            return Error::os(WSAGetLastError()).context("send the request to the Helper");
        }
        sent += static_cast<std::size_t>(n);
    }
    std::string bytes;
    char buffer[8192];
    while (true) {
        int n = recv(socket.get(), buffer, sizeof(buffer), 0);
        if (n == 0) {
            break;
        }
        if (n == SOCKET_ERROR) {
            int code = WSAGetLastError();
            if (code == WSAECONNRESET && !bytes.empty()) {
                break;
            }
            return Error::os(code).context("read the Helper's reply");
        }
        bytes.append(buffer, static_cast<std::size_t>(n));
    }
    if (bytes.empty()) {
        return Error(
            "the Helper closed the connection without a reply (is this process running "
            "under the Helper's owner account?)");
    }
    return parse_reply(bytes);
}

}  // namespace drovane::client
