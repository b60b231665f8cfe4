// The floor of the idle footprint: a service that registers with the Service Control Manager,
// reports running and waits for STOP, and does nothing else. It is built with the Helper's
// compiler and link options, so what the Helper holds beyond it is the Helper's own.
#include <windows.h>

namespace {

constexpr wchar_t kServiceName[] = L"DrovaneBareService";

SERVICE_STATUS_HANDLE status_handle = nullptr;
HANDLE stop_requested = nullptr;

void report(DWORD state, DWORD controls_accepted) {
    SERVICE_STATUS status{};
    status.dwServiceType = SERVICE_WIN32_OWN_PROCESS;
    status.dwCurrentState = state;
    status.dwControlsAccepted = controls_accepted;
    ::SetServiceStatus(status_handle, &status);
}

DWORD WINAPI control(DWORD code, DWORD, LPVOID, LPVOID) {
    switch (code) {
        case SERVICE_CONTROL_STOP:
            ::SetEvent(stop_requested);
            return NO_ERROR;
        case SERVICE_CONTROL_INTERROGATE:
            return NO_ERROR;
        default:
            return ERROR_CALL_NOT_IMPLEMENTED;
    }
}

void WINAPI service_main(DWORD, LPWSTR*) {
    status_handle = ::RegisterServiceCtrlHandlerExW(kServiceName, control, nullptr);
    if (status_handle == nullptr) {
        return;
    }
    report(SERVICE_RUNNING, SERVICE_ACCEPT_STOP);
    ::WaitForSingleObject(stop_requested, INFINITE);
    report(SERVICE_STOPPED, 0);
}

}  // namespace

int main() {
    stop_requested = ::CreateEventW(nullptr, TRUE, FALSE, nullptr);
    if (stop_requested == nullptr) {
        return 1;
    }
    SERVICE_TABLE_ENTRYW table[] = {{const_cast<wchar_t*>(kServiceName), service_main},
                                    {nullptr, nullptr}};
    return ::StartServiceCtrlDispatcherW(table) ? 0 : 1;
}
