// The Windows side of the client library's tests under Wine, one command per run:
//   probe <n>          n connections to the Helper: who owns its end right after connect, before
//                      anything is sent (connection row, listening row, service process), and
//                      how long after a zero-byte send the connection row names a process
//   calls-ok           open and ping through the C++ wrapper succeed against the live Helper
//   kill-service       ends the Helper's process abruptly, as a crash would
//   impostor <ready> <seconds>
//                      binds the published port, says so in the file <ready>, accepts until the
//                      file <ready>.stop appears or the time is up, and prints how many
//                      connections and bytes it received
//   impostor-ping      open and ping must fail with DROVANE_HC_NOT_HELPER naming both processes
//   suspend-service | resume-service
//                      suspends or resumes every thread of the Helper's process
//   timed-ping <ms>    with that timeout, open and ping must end with DROVANE_HC_TIMED_OUT within
//                      the timeout and a margin
#include <drovane/helper_client.hpp>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <fstream>
#include <iostream>
#include <string>
#include <thread>
#include <vector>

#include "helper_client/helper_endpoint.hpp"
#include "win/handles.hpp"

namespace {

using namespace drovane;
using namespace drovane::helper_client;

struct Winsock {
    Winsock() {
        WSADATA data;
        WSAStartup(MAKEWORD(2, 2), &data);
    }
    ~Winsock() { WSACleanup(); }
};

std::string pid_text(const std::optional<std::uint32_t>& pid) {
    return pid ? std::to_string(*pid) : "none";
}

// The published port and the service's process, through the library's own reads.
std::optional<unsigned> helper_port() {
    Result<std::optional<unsigned>> port = ClientSystemCalls().published_port();
    return port ? *port : std::nullopt;
}
std::optional<std::uint32_t> service_process() {
    Result<ServiceReport> status = ClientSystemCalls().service_status();
    if (!status || status->pid == 0) {
        return std::nullopt;
    }
    return status->pid;
}

int probe(int count) {
    Winsock winsock;
    std::optional<unsigned> port = helper_port();
    std::optional<std::uint32_t> service = service_process();
    if (!port || !service) {
        std::cout << "no running Helper\n";
        return 1;
    }
    int connection_is_service = 0;
    int listener_is_service = 0;
    int named_after_send = 0;
    std::vector<double> waits;
    for (int i = 0; i < count; ++i) {
        win::unique_socket socket(::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP));
        sockaddr_in address{};
        address.sin_family = AF_INET;
        address.sin_port = htons(static_cast<u_short>(*port));
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        if (::connect(socket.get(), reinterpret_cast<sockaddr*>(&address), sizeof(address)) != 0) {
            std::cout << "connect failed\n";
            return 1;
        }
        sockaddr_in own{};
        int length = sizeof(own);
        ::getsockname(socket.get(), reinterpret_cast<sockaddr*>(&own), &length);
        Result<ListenerOwners> owners = read_listener_owners(*port, ntohs(own.sin_port));
        if (!owners) {
            std::cout << "table: " << owners.error().text() << '\n';
            return 1;
        }
        connection_is_service += owners->connection == *service;
        listener_is_service += owners->listener == *service;
        // Then as the library does: a zero-byte send, and the table until the far end is named.
        ::send(socket.get(), "", 0, 0);
        auto begin = std::chrono::steady_clock::now();
        std::uint32_t named = 0;
        while (named == 0 && std::chrono::steady_clock::now() - begin < std::chrono::seconds(3)) {
            Result<ListenerOwners> again = read_listener_owners(*port, ntohs(own.sin_port));
            named = again ? again->connection.value_or(0) : 0;
            if (named == 0) {
                std::this_thread::sleep_for(std::chrono::milliseconds(2));
            }
        }
        double ms =
            std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - begin)
                .count();
        named_after_send += named == *service;
        waits.push_back(ms);
        if (i < 3) {
            std::cout << "before any byte: connection row " << pid_text(owners->connection)
                      << ", listening row " << pid_text(owners->listener) << "; after a zero-byte "
                      << "send: connection row " << named << " after " << ms << " ms; service "
                      << *service << '\n';
        }
    }
    std::sort(waits.begin(), waits.end());
    std::cout << "of " << count << " connections: before any byte, connection row is the service "
              << connection_is_service << ", listening row is the service " << listener_is_service
              << "; after a zero-byte send, connection row is the service " << named_after_send
              << " (wait median " << waits[waits.size() / 2] << " ms, max " << waits.back()
              << " ms)\n";
    return 0;
}

int calls_ok() {
    HelperClient client;
    drovane_hc_reply reply;
    drovane_hc_result logs = client.logs(reply);
    std::cout << "open " << drovane_hc_result_name(client.result()) << ", logs "
              << drovane_hc_result_name(logs) << ' ' << client.error_text() << '\n';
    return client.result() == DROVANE_HC_OK && logs == DROVANE_HC_OK ? 0 : 1;
}

int kill_service() {
    std::optional<std::uint32_t> pid = service_process();
    if (!pid) {
        std::cout << "no running service\n";
        return 1;
    }
    win::unique_handle process(::OpenProcess(PROCESS_TERMINATE | SYNCHRONIZE, FALSE, *pid));
    if (!process || !::TerminateProcess(process.get(), 3) ||
        ::WaitForSingleObject(process.get(), 10000) != WAIT_OBJECT_0) {
        std::cout << "could not end process " << *pid << '\n';
        return 1;
    }
    std::cout << "ended the Helper's process " << *pid << '\n';
    return 0;
}

int impostor(const std::string& ready, int seconds) {
    Winsock winsock;
    std::optional<unsigned> port = helper_port();
    if (!port) {
        std::cout << "no published port\n";
        return 1;
    }
    win::unique_socket listener(::socket(AF_INET, SOCK_STREAM, IPPROTO_TCP));
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_port = htons(static_cast<u_short>(*port));
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    bool bound = false;
    for (int attempt = 0; attempt < 50 && !bound; ++attempt) {
        bound = ::bind(listener.get(), reinterpret_cast<sockaddr*>(&address), sizeof(address)) == 0;
        if (!bound) {
            std::this_thread::sleep_for(std::chrono::milliseconds(100));
        }
    }
    if (!bound || ::listen(listener.get(), 8) != 0) {
        std::cout << "cannot listen on 127.0.0.1:" << *port << '\n';
        return 1;
    }
    // Its first accept below ties the listening socket to this process in the TCP table.
    std::ofstream(ready) << ::GetCurrentProcessId() << '\n';
    int connections = 0;
    long long bytes = 0;
    auto end = std::chrono::steady_clock::now() + std::chrono::seconds(seconds);
    const std::string stop = ready + ".stop";
    while (std::chrono::steady_clock::now() < end &&
           ::GetFileAttributesA(stop.c_str()) == INVALID_FILE_ATTRIBUTES) {
        fd_set set;
        FD_ZERO(&set);
        FD_SET(listener.get(), &set);
        timeval wait{0, 200000};
        if (::select(0, &set, nullptr, nullptr, &wait) != 1) {
            continue;
        }
        win::unique_socket connection(::accept(listener.get(), nullptr, nullptr));
        if (!connection) {
            continue;
        }
        ++connections;
        // A closed connection reads as a timeout under Wine rather than as its end.
        DWORD timeout = 5000;
        ::setsockopt(connection.get(), SOL_SOCKET, SO_RCVTIMEO,
                     reinterpret_cast<const char*>(&timeout), sizeof(timeout));
        char buffer[4096];
        int n = 0;
        while ((n = ::recv(connection.get(), buffer, sizeof(buffer), 0)) > 0) {
            bytes += n;
        };
    }
    std::cout << "impostor " << ::GetCurrentProcessId() << " on 127.0.0.1:" << *port
              << ": connections " << connections << ", bytes received " << bytes << '\n';
    return 0;
}

int impostor_ping() {
    HelperClient client;
    std::cout << "open: " << drovane_hc_result_name(client.result()) << ": " << client.error_text()
              << '\n';
    drovane_hc_reply reply;
    drovane_hc_result ping = client.ping(std::string(64, '0'), reply);
    std::cout << "ping: " << drovane_hc_result_name(ping) << ": " << client.error_text() << '\n';
    return client.result() == DROVANE_HC_NOT_HELPER && ping == DROVANE_HC_NOT_HELPER ? 0 : 1;
}

// NtSuspendProcess and NtResumeProcess stop and start every thread of a process.
int suspend_service(bool suspend) {
    std::optional<std::uint32_t> pid = service_process();
    if (!pid) {
        std::cout << "no running service\n";
        return 1;
    }
    using ProcessCall = LONG(NTAPI*)(HANDLE);
    HMODULE ntdll = ::GetModuleHandleW(L"ntdll.dll");
    auto call = reinterpret_cast<ProcessCall>(reinterpret_cast<void*>(
        ::GetProcAddress(ntdll, suspend ? "NtSuspendProcess" : "NtResumeProcess")));
    win::unique_handle process(::OpenProcess(PROCESS_SUSPEND_RESUME, FALSE, *pid));
    if (call == nullptr || !process || call(process.get()) != 0) {
        std::cout << "could not " << (suspend ? "suspend" : "resume") << " process " << *pid
                  << '\n';
        return 1;
    }
    std::cout << (suspend ? "suspended" : "resumed") << " the Helper's process " << *pid << '\n';
    return 0;
}

int timed_ping(int milliseconds) {
    // Generous beside the timeout: thread start-up and a loaded machine, not the property.
    const auto margin = std::chrono::milliseconds(1500);
    HelperClient client;
    client.set_timeout(static_cast<std::uint32_t>(milliseconds));
    drovane_hc_reply reply;
    auto begin = std::chrono::steady_clock::now();
    drovane_hc_result ping = client.ping(std::string(64, '0'), reply);
    auto took = std::chrono::duration_cast<std::chrono::milliseconds>(
        std::chrono::steady_clock::now() - begin);
    std::cout << "open: " << drovane_hc_result_name(client.result()) << "; ping with a timeout of "
              << milliseconds << " ms: " << drovane_hc_result_name(ping) << " after "
              << took.count() << " ms: " << client.error_text() << '\n';
    return ping == DROVANE_HC_TIMED_OUT && took < std::chrono::milliseconds(milliseconds) + margin
               ? 0
               : 1;
}

}  // namespace

int main(int argc, char** argv) {
    std::string command = argc > 1 ? argv[1] : "";
    if (command == "probe" && argc == 3) {
        return probe(std::stoi(argv[2]));
    }
    if (command == "calls-ok") {
        return calls_ok();
    }
    if (command == "kill-service") {
        return kill_service();
    }
    if (command == "impostor" && argc == 4) {
        return impostor(argv[2], std::stoi(argv[3]));
    }
    if (command == "impostor-ping") {
        return impostor_ping();
    }
    if (command == "suspend-service" || command == "resume-service") {
        return suspend_service(command == "suspend-service");
    }
    if (command == "timed-ping" && argc == 3) {
        return timed_ping(std::stoi(argv[2]));
    }
    std::cerr << "usage: wine_tool probe <n> | calls-ok | kill-service | impostor <ready> <s> | "
                 "impostor-ping | suspend-service | resume-service | timed-ping <ms>\n";
    return 2;
}
