/* Each call of the C interface against the installed Helper, from C: the header compiles as C
 * and the DLL's exports link. Usage: c_interface_test <expected Core digest>, or
 * c_interface_test --stopped / --not-installed once the service is stopped / removed. Prints one
 * line per check and exits 0 only if every check held. */
#include <drovane/helper_client.h>
#include <stddef.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <windows.h>

static int failures = 0;

static void check(int held, const char* what, drovane_hc* client) {
    printf("%s  %s\n", held ? "ok  " : "FAIL", what);
    if (!held) {
        printf("      error text: %s\n", drovane_hc_error_text(client));
        ++failures;
    }
}

/* A new session whose address makes the sample Core serve its pipe: silently (919e), or after
 * writing one line to the Helper's log (0000, no mode of its own). */
static drovane_hc_session pipe_session(drovane_hc* client, const char* mode) {
    drovane_hc_session session = DROVANE_HC_SESSION_INIT;
    check(drovane_hc_new_session(client, &session) == DROVANE_HC_OK &&
              strlen(session.session_id) == 32 && strlen(session.address) == 53,
          "new_session: a session ID and a pipe address", client);
    memcpy(session.address + strlen(session.address) - 32, mode, 4);
    return session;
}

static int names_process(drovane_hc* client, unsigned long pid) {
    char text[32];
    snprintf(text, sizeof text, "process %lu", pid);
    return strstr(drovane_hc_error_text(client), text) != NULL;
}

/* connect_core: the Core's own pipe is handed over; a pipe another process created first under
 * the name is refused, naming both processes; no pipe at all times out. */
static void check_connect_core(drovane_hc* client) {
    drovane_hc_reply reply = DROVANE_HC_REPLY_INIT;
    drovane_hc_session first = pipe_session(client, "0000");
    drovane_hc_session squatted = pipe_session(client, "919e");
    drovane_hc_session nobody = pipe_session(client, "919e");
    drovane_hc_result result;
    void* pipe = NULL;
    HANDLE squatter;
    uint32_t core;

    check(strcmp(first.session_id, squatted.session_id) != 0 &&
              strcmp(first.address, squatted.address) != 0,
          "two sessions differ", client);
    result = drovane_hc_start(client, first.address, first.session_id, &reply);
    core = reply.pid;
    check(result == DROVANE_HC_OK, "start a Core that serves its pipe", client);
    result = drovane_hc_connect_core(client, first.address, core, 20000, &pipe);
    check(result == DROVANE_HC_OK && pipe != NULL, "connect_core: the Core's pipe, handed over",
          client);
    if (pipe != NULL) {
        CloseHandle(pipe);
    }
    drovane_hc_stop(client, first.session_id, &reply);

    /* This process creates the name first: the Core then cannot create its pipe. */
    squatter =
        CreateNamedPipeA(squatted.address, PIPE_ACCESS_DUPLEX | FILE_FLAG_FIRST_PIPE_INSTANCE,
                         PIPE_TYPE_BYTE, 1, 4096, 4096, 0, NULL);
    check(squatter != INVALID_HANDLE_VALUE, "a squatter creates the Core's pipe name first",
          client);
    result = drovane_hc_start(client, squatted.address, squatted.session_id, &reply);
    core = reply.pid;
    check(result == DROVANE_HC_OK, "start a Core whose pipe name is taken", client);
    pipe = NULL;
    result = drovane_hc_connect_core(client, squatted.address, core, 20000, &pipe);
    check(result == DROVANE_HC_NOT_CORE && pipe == NULL &&
              names_process(client, GetCurrentProcessId()) && names_process(client, core),
          "connect_core to a squatted name: NOT_CORE naming both processes, no pipe", client);
    if (pipe != NULL) {
        CloseHandle(pipe);
    }
    drovane_hc_stop(client, squatted.session_id, &reply);
    CloseHandle(squatter);

    pipe = NULL;
    result = drovane_hc_connect_core(client, nobody.address, core, 300, &pipe);
    check(result == DROVANE_HC_TIMED_OUT && pipe == NULL, "connect_core with no pipe: timed out",
          client);
}

int main(int argc, char** argv) {
    const char* session = "0123456789abcdef0123456789abcdef";
    const char* other = "fedcba9876543210fedcba9876543210";
    const char* address = "\\\\.\\pipe\\DrovaneCore_00112233445566778899aabbccddeeff";
    drovane_hc* client = NULL;
    drovane_hc_reply reply = DROVANE_HC_REPLY_INIT;
    drovane_hc_service service = DROVANE_HC_SERVICE_INIT;
    /* A reply of an older, smaller layout that ends before session_id, inside guard bytes. */
    union {
        drovane_hc_reply reply;
        unsigned char bytes[sizeof(drovane_hc_reply)];
    } older;
    const size_t older_size = offsetof(drovane_hc_reply, session_id);
    size_t i;
    int untouched = 1;
    drovane_hc_result result;
    if (argc != 2) {
        fprintf(stderr, "usage: c_interface_test <expected Core digest>\n");
        return 2;
    }

    /* Run once the service is stopped, or removed: what open and ensure make of it. */
    if (strcmp(argv[1], "--stopped") == 0 || strcmp(argv[1], "--not-installed") == 0) {
        const int stopped = strcmp(argv[1], "--stopped") == 0;
        drovane_hc_state state = DROVANE_HC_STATE_INIT;
        result = drovane_hc_open(&client);
        check(result == (stopped ? DROVANE_HC_NOT_STARTED : DROVANE_HC_NOT_INSTALLED),
              stopped ? "open: not started" : "open: not installed", client);
        result = drovane_hc_ensure(
            client, "0000000000000000000000000000000000000000000000000000000000000000", &state);
        check(
            result == DROVANE_HC_OK &&
                state.step == (stopped ? DROVANE_HC_STEP_START_SERVICE : DROVANE_HC_STEP_INSTALL) &&
                strstr(state.text, stopped ? "administrator" : "install") != NULL &&
                strstr(state.text, "sc ") == NULL,
            stopped ? "ensure with the service stopped: start it, advice without sc"
                    : "ensure without the service: install",
            client);
        drovane_hc_close(client);
        printf("%d failed\n", failures);
        return failures == 0 ? 0 : 1;
    }
    check(drovane_hc_version() == DROVANE_HC_VERSION, "the DLL's version is the header's", client);
    result = drovane_hc_open(&client);
    check(result == DROVANE_HC_OK && client != NULL, "open finds and proves the Helper", client);
    result = drovane_hc_query_service(client, &service);
    check(result == DROVANE_HC_OK && service.installed == 1 && service.running == 1 &&
              service.state == 4 && service.process_id != 0 && service.port != 0,
          "query_service: installed, running, its process and port", client);

    {
        drovane_hc_state state = DROVANE_HC_STATE_INIT;
        result = drovane_hc_ensure(client, argv[1], &state);
        check(result == DROVANE_HC_OK && state.step == DROVANE_HC_STEP_READY,
              "ensure with the expected digest: ready", client);
        result = drovane_hc_ensure(
            client, "0000000000000000000000000000000000000000000000000000000000000000", &state);
        check(result == DROVANE_HC_OK && state.step == DROVANE_HC_STEP_REINSTALL &&
                  strstr(state.text, "another Core") != NULL,
              "ensure with another Core's digest: reinstall", client);
    }
    result = drovane_hc_ping(client, argv[1], &reply);
    check(result == DROVANE_HC_OK && reply.status == 200 && strcmp(reply.protocol, "8") == 0 &&
              strstr(reply.text, "DrovaneHelper.exe") != NULL,
          "ping with the expected digest: 200, protocol 8, the Helper's path", client);
    result = drovane_hc_ping(
        client, "0000000000000000000000000000000000000000000000000000000000000000", &reply);
    check(result == DROVANE_HC_REFUSED && reply.status == 409 &&
              strcmp(reply.error_code, "coreSha256Mismatch") == 0,
          "ping with another digest: refused, coreSha256Mismatch", client);

    result = drovane_hc_start(client, address, session, &reply);
    check(result == DROVANE_HC_OK && reply.pid != 0 && strcmp(reply.session_id, session) == 0,
          "start: the Core's pid", client);
    result = drovane_hc_start(client, "not a pipe", session, &reply);
    check(result == DROVANE_HC_INVALID_ARGUMENT && reply.status == 0,
          "start with a bad address: invalid argument, nothing sent", client);
    result = drovane_hc_stop(client, other, &reply);
    check(result == DROVANE_HC_REFUSED && reply.status == 409 && reply.stopped == 0 &&
              strcmp(reply.reason, "sessionMismatch") == 0,
          "stop of another session: refused, sessionMismatch", client);
    result = drovane_hc_stop(client, session, &reply);
    check(result == DROVANE_HC_OK && reply.stopped == 1, "stop: stopped", client);
    result = drovane_hc_stop(client, session, &reply);
    check(result == DROVANE_HC_OK && reply.stopped == 0 && strcmp(reply.reason, "notRunning") == 0,
          "stop again: not running", client);
    memset(older.bytes, 0xAB, sizeof(older.bytes));
    older.reply.size = (uint32_t)older_size;
    result = drovane_hc_stop(client, session, &older.reply);
    for (i = older_size; i < sizeof(older.bytes); ++i) {
        untouched = untouched && older.bytes[i] == 0xAB;
    }
    check(result == DROVANE_HC_OK && older.reply.status == 200 && untouched,
          "an older, smaller reply: filled up to its size, untouched past it", client);

    result = drovane_hc_logs(client, &reply);
    check(result == DROVANE_HC_OK && reply.status == 200 && strlen(reply.text) > 0, "logs", client);

    {
        uint64_t cursor = 0;
        result = drovane_hc_logs_since(client, &cursor, &reply);
        check(result == DROVANE_HC_OK && reply.status == 200 && cursor > 0 && reply.restarted == 0,
              "logs_since from the start: the cursor moves to the last line", client);
        uint64_t before = cursor;
        int found = 0, tries;
        check_connect_core(client); /* its first Core writes "sample Core <address> ..." */
        for (tries = 0; tries < 100 && !found; ++tries) {
            result = drovane_hc_logs_since(client, &cursor, &reply);
            found =
                result == DROVANE_HC_OK && strstr(reply.text, "sample Core \\\\.\\pipe") != NULL;
            if (!found) {
                Sleep(100);
            }
        }
        check(found && cursor > before && reply.dropped == 0 && reply.restarted == 0,
              "logs_since again: the lines after the cursor, the Core's among them", client);
    }

    result = drovane_hc_ping(client, NULL, &reply);
    check(result == DROVANE_HC_INVALID_ARGUMENT, "a NULL argument", client);
    check(strcmp(drovane_hc_result_name(DROVANE_HC_NOT_HELPER), "DROVANE_HC_NOT_HELPER") == 0,
          "result names", client);

    drovane_hc_close(client);
    printf("%d failed\n", failures);
    return failures == 0 ? 0 : 1;
}
