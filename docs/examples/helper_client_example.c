/* A desktop client's life with the Helper: open (find and prove the Helper), ensure (what this
 * launch must do first), a new session, start the Core, connect to its pipe (checking that the
 * pipe's server is that Core), follow the Helper's log, stop the Core.
 * Usage: helper_client_example <expected Core SHA-256>. Exits 0 when every step succeeded. */
#include <drovane/helper_client.h>
#include <stdio.h>
#include <string.h>
#include <wchar.h>
#include <windows.h>
#include <shellapi.h>

/* Prints why a call gave no success reply; returns 1 so that main can add up failures. */
static int report(drovane_hc* client, const char* step, drovane_hc_result result,
                  const drovane_hc_reply* reply) {
    if (result == DROVANE_HC_OK) {
        return 0;
    }
    if (result == DROVANE_HC_REFUSED) {
        fprintf(stderr, "%s: refused with status %u: %s %s%s\n", step, reply->status,
                reply->error_code, reply->error_message, reply->text);
    } else {
        fprintf(stderr, "%s: %s: %s (os error %u)\n", step, drovane_hc_result_name(result),
                drovane_hc_error_text(client), (unsigned)drovane_hc_os_error(client));
    }
    return 1;
}

/* Installs (or reinstalls) the Helper with an administrator's approval: runs
 * `DrovaneHelper.exe install --owner-pid <this process>` elevated, waits for it and gives its
 * exit code (0 installed, 1 failed), or -1 when it did not run (1223, ERROR_CANCELLED: the user
 * declined the prompt). A GUI passes its window as `hwnd` and waits on a worker thread. */
static long install_helper(HWND hwnd, const wchar_t* helper_exe) {
    wchar_t parameters[64];
    SHELLEXECUTEINFOW run;
    DWORD code = 1;
    swprintf(parameters, 64, L"install --owner-pid %lu", (unsigned long)GetCurrentProcessId());
    memset(&run, 0, sizeof run);
    run.cbSize = sizeof run;
    run.fMask = SEE_MASK_NOCLOSEPROCESS | SEE_MASK_NOASYNC | SEE_MASK_FLAG_NO_UI;
    run.hwnd = hwnd;
    run.lpVerb = L"runas"; /* the elevation prompt */
    run.lpFile = helper_exe;
    run.lpParameters = parameters;
    run.nShow = SW_HIDE;
    if (!ShellExecuteExW(&run) || run.hProcess == NULL) {
        fprintf(stderr, "install did not run: error %lu\n", (unsigned long)GetLastError());
        return -1;
    }
    WaitForSingleObject(run.hProcess, INFINITE);
    if (!GetExitCodeProcess(run.hProcess, &code)) {
        code = 1;
    }
    CloseHandle(run.hProcess);
    return (long)code;
}

int main(int argc, char** argv) {
    drovane_hc* client = NULL;
    drovane_hc_reply reply = DROVANE_HC_REPLY_INIT; /* the library fills only what `size` covers */
    drovane_hc_state state = DROVANE_HC_STATE_INIT;
    drovane_hc_session session = DROVANE_HC_SESSION_INIT;
    drovane_hc_result result;
    void* pipe = NULL;
    uint64_t cursor = 0;
    if (argc != 2) {
        fprintf(stderr, "usage: helper_client_example <expected Core SHA-256>\n");
        return 2;
    }

    if (drovane_hc_version() >> 16 != DROVANE_HC_VERSION_MAJOR) {
        fprintf(stderr, "the DLL is of another major version than this header\n");
        return 1;
    }
    /* open fails when the Helper is not installed, stopped or another account's: ensure below
     * tells these apart, so go on with the handle (NULL only when memory ran out). */
    drovane_hc_open(&client);
    if (client == NULL) {
        return 1;
    }
    /* Each later call ends within 3 s, so a wedged Helper cannot freeze the caller. */
    drovane_hc_set_timeout(client, 3000);

    /* Every launch: one value says what to do before a Core can start. */
    result = drovane_hc_ensure(client, argv[1], &state);
    if (report(client, "ensure", result, &reply)) {
        drovane_hc_close(client); /* e.g. TIMED_OUT: retry as the retry table says */
        return 1;
    }
    switch (state.step) {
        case DROVANE_HC_STEP_READY:
            break;
        case DROVANE_HC_STEP_INSTALL:
        case DROVANE_HC_STEP_REINSTALL: {
            /* A GUI asks the user first; the Helper ships beside the client's program. */
            wchar_t helper[MAX_PATH];
            DWORD length = GetModuleFileNameW(NULL, helper, MAX_PATH);
            wchar_t* slash = wcsrchr(helper, L'\\');
            fprintf(stderr, "the Helper needs installing: %s\n", state.text);
            drovane_hc_close(client);
            if (length == 0 || length >= MAX_PATH || slash == NULL ||
                slash + 18 >= helper + MAX_PATH) {
                return 1;
            }
            wcscpy(slash + 1, L"DrovaneHelper.exe");
            /* Then call ensure again: it should say ready. */
            return install_helper(NULL, helper) == 0 ? 0 : 1;
        }
        default: /* START_SERVICE, TELL_USER: show the text */
            fprintf(stderr, "%s\n", state.text);
            drovane_hc_close(client);
            return 1;
    }
    printf("Helper ready\n");

    /* A Core: a new session (random ID and pipe name), start, then its pipe, checked. */
    result = drovane_hc_new_session(client, &session);
    if (report(client, "new session", result, &reply)) {
        drovane_hc_close(client);
        return 1;
    }
    result = drovane_hc_start(client, session.address, session.session_id, &reply);
    if (report(client, "start", result, &reply)) {
        drovane_hc_close(client);
        return 1;
    }
    printf("Core started, pid %u\n", (unsigned)reply.pid);
    result = drovane_hc_connect_core(client, session.address, reply.pid, 10000, &pipe);
    if (report(client, "connect to the Core", result, &reply)) {
        /* NOT_CORE: another process holds the name; stop this Core, start with a new session. */
        drovane_hc_stop(client, session.session_id, &reply);
        drovane_hc_close(client);
        return 1;
    }
    printf("connected to the Core's pipe\n");
    CloseHandle(pipe); /* the client talks to its Core here */

    /* The Helper's log since the last read: keep `cursor` between polls. */
    result = drovane_hc_logs_since(client, &cursor, &reply);
    if (report(client, "logs", result, &reply)) {
        drovane_hc_close(client);
        return 1;
    }
    printf("Helper log up to line %llu\n", (unsigned long long)cursor);

    result = drovane_hc_stop(client, session.session_id, &reply);
    if (report(client, "stop", result, &reply)) {
        drovane_hc_close(client);
        return 1;
    }
    printf("Core %s\n", reply.stopped ? "stopped" : "was not running");
    drovane_hc_close(client);
    return 0;
}
