/* A desktop client's use of the Helper: open (find and prove the Helper), ping with the Core
 * digest the client expects, start a Core for a pipe and session of the client's own, stop it.
 * Usage: helper_client_example <expected Core SHA-256>. Exits 0 when every step succeeded. */
#include <drovane/helper_client.h>
#include <stdio.h>

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

int main(int argc, char** argv) {
    /* In a real client: fresh random values for each Core run. */
    const char* session = "0123456789abcdef0123456789abcdef";
    const char* address = "\\\\.\\pipe\\DrovaneCore_0123456789abcdef0123456789abcdef";
    drovane_hc* client = NULL;
    drovane_hc_reply reply = DROVANE_HC_REPLY_INIT; /* the library fills only what `size` covers */
    drovane_hc_result result;
    if (argc != 2) {
        fprintf(stderr, "usage: helper_client_example <expected Core SHA-256>\n");
        return 2;
    }

    if (drovane_hc_version() >> 16 != DROVANE_HC_VERSION_MAJOR) {
        fprintf(stderr, "the DLL is of another major version than this header\n");
        return 1;
    }
    result = drovane_hc_open(&client);
    if (report(client, "open", result, &reply)) {
        /* NOT_INSTALLED: install the Helper; NOT_STARTED: it starts at boot, or reinstall it;
         * NOT_OWNER: run as the account that installed it. */
        drovane_hc_close(client); /* the handle holds the error text; NULL is fine too */
        return 1;
    }
    /* Each later call ends within 3 s, so a wedged Helper cannot freeze the caller. */
    drovane_hc_set_timeout(client, 3000);
    result = drovane_hc_ping(client, argv[1], &reply);
    if (report(client, "ping", result, &reply)) {
        drovane_hc_close(client);
        return 1;
    }
    printf("Helper: %s (protocol %s)\n", reply.text, reply.protocol);

    result = drovane_hc_start(client, address, session, &reply);
    if (report(client, "start", result, &reply)) {
        drovane_hc_close(client);
        return 1;
    }
    printf("Core started, pid %u\n", (unsigned)reply.pid);

    result = drovane_hc_stop(client, session, &reply);
    if (report(client, "stop", result, &reply)) {
        drovane_hc_close(client);
        return 1;
    }
    printf("Core %s\n", reply.stopped ? "stopped" : "was not running");
    drovane_hc_close(client);
    return 0;
}
