/* Each call of the C interface against the installed Helper, from C: the header compiles as C
 * and the DLL's exports link. Usage: c_interface_test <expected Core digest>. Prints one line per
 * check and exits 0 only if every check held. */
#include <drovane/helper_client.h>
#include <stdio.h>
#include <string.h>

static int failures = 0;

static void check(int held, const char* what, drovane_hc* client) {
    printf("%s  %s\n", held ? "ok  " : "FAIL", what);
    if (!held) {
        printf("      error text: %s\n", drovane_hc_error_text(client));
        ++failures;
    }
}

int main(int argc, char** argv) {
    const char* session = "0123456789abcdef0123456789abcdef";
    const char* other = "fedcba9876543210fedcba9876543210";
    const char* address = "\\\\.\\pipe\\DrovaneCore_00112233445566778899aabbccddeeff";
    drovane_hc* client = NULL;
    drovane_hc_reply reply;
    drovane_hc_result result;
    if (argc != 2) {
        fprintf(stderr, "usage: c_interface_test <expected Core digest>\n");
        return 2;
    }

    result = drovane_hc_open(&client);
    check(result == DROVANE_HC_OK && client != NULL, "open finds and proves the Helper", client);

    result = drovane_hc_ping(client, argv[1], &reply);
    check(result == DROVANE_HC_OK && reply.status == 200 && strcmp(reply.protocol, "8") == 0 &&
              strstr(reply.text, "DrovaneHelper.exe") != NULL,
          "ping with the expected digest: 200, protocol 8, the Helper's path", client);
    result = drovane_hc_ping(client, "00", &reply);
    check(result == DROVANE_HC_REFUSED && reply.status == 409 &&
              strcmp(reply.error_code, "coreSha256Mismatch") == 0,
          "ping with another digest: refused, coreSha256Mismatch", client);

    result = drovane_hc_start(client, address, session, &reply);
    check(result == DROVANE_HC_OK && reply.pid != 0 && strcmp(reply.session_id, session) == 0,
          "start: the Core's pid", client);
    result = drovane_hc_start(client, "not a pipe", session, &reply);
    check(result == DROVANE_HC_REFUSED && reply.status == 400 &&
              strcmp(reply.error_message, "invalid Core address") == 0,
          "start with a bad address: refused, invalid Core address", client);
    result = drovane_hc_stop(client, other, &reply);
    check(result == DROVANE_HC_REFUSED && reply.status == 409 && reply.stopped == 0 &&
              strcmp(reply.reason, "sessionMismatch") == 0,
          "stop of another session: refused, sessionMismatch", client);
    result = drovane_hc_stop(client, session, &reply);
    check(result == DROVANE_HC_OK && reply.stopped == 1, "stop: stopped", client);
    result = drovane_hc_stop(client, session, &reply);
    check(result == DROVANE_HC_OK && reply.stopped == 0 && strcmp(reply.reason, "notRunning") == 0,
          "stop again: not running", client);

    result = drovane_hc_logs(client, &reply);
    check(result == DROVANE_HC_OK && reply.status == 200 && strlen(reply.text) > 0, "logs", client);

    result = drovane_hc_ping(client, NULL, &reply);
    check(result == DROVANE_HC_INVALID_ARGUMENT, "a NULL argument", client);
    check(strcmp(drovane_hc_result_name(DROVANE_HC_NOT_HELPER), "DROVANE_HC_NOT_HELPER") == 0,
          "result names", client);

    drovane_hc_close(client);
    printf("%d failed\n", failures);
    return failures == 0 ? 0 : 1;
}
