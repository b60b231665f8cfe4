/* DrovaneHelper client library: finds the Helper service, proves that the process listening on
 * its published port is the service's own, and makes its four calls (ping, start, stop, logs).
 *
 * Strings in and out are UTF-8 and NUL-terminated. Nothing is thrown across this interface.
 * Every call returns a drovane_hc_result; DROVANE_HC_OK and DROVANE_HC_REFUSED fill the reply,
 * every other result leaves the reply empty and puts the reason, the whole error chain on one
 * line, in drovane_hc_error_text().
 *
 * Threads: a handle is used by one thread at a time (calls on one handle must not overlap);
 * different handles may be used at the same time from different threads. The strings a call
 * returns, in its reply and from drovane_hc_error_text(), belong to the handle and stay valid
 * until the next call on that handle or drovane_hc_close().
 *
 * Windows only. Link the DLL through its import library, or define DROVANE_HC_STATIC and link
 * the static library together with ws2_32, iphlpapi and advapi32.
 */
#ifndef DROVANE_HELPER_CLIENT_H
#define DROVANE_HELPER_CLIENT_H

#include <stdint.h>

#if defined(DROVANE_HC_STATIC)
#define DROVANE_HC_API
#elif defined(DROVANE_HC_BUILDING_DLL)
#define DROVANE_HC_API __declspec(dllexport)
#else
#define DROVANE_HC_API __declspec(dllimport)
#endif

#ifdef __cplusplus
extern "C" {
#endif

typedef enum drovane_hc_result {
    /* The call's success reply: ping 200 (the Helper expects this Core), start 200, stop 200
     * (whether or not a Core was stopped: see `stopped`), logs 200. */
    DROVANE_HC_OK = 0,
    /* A failure reply the protocol documents: read `status`, `error_code`, `error_message`, or
     * for ping a plain-text `text`, or for stop `reason` "sessionMismatch". */
    DROVANE_HC_REFUSED = 1,
    /* DrovaneHelperService is not installed or not running, or has published no port. */
    DROVANE_HC_NOT_RUNNING = 2,
    /* The process behind the published port is not the service's process: nothing was sent.
     * The error text names both process IDs. */
    DROVANE_HC_NOT_HELPER = 3,
    /* Connecting, sending or receiving failed. */
    DROVANE_HC_CONNECTION_FAILED = 4,
    /* The reply is not one the protocol documents for this call. */
    DROVANE_HC_BAD_REPLY = 5,
    /* An argument is NULL or cannot be sent. */
    DROVANE_HC_INVALID_ARGUMENT = 6,
    /* A system call the library needs failed. */
    DROVANE_HC_SYSTEM_ERROR = 7,
    /* Memory ran out. */
    DROVANE_HC_OUT_OF_MEMORY = 8
} drovane_hc_result;

/* One reply, read into its parts. Strings are never NULL: "" where the reply has no such part. */
typedef struct drovane_hc_reply {
    unsigned status;           /* HTTP status */
    const char* protocol;      /* ping: the Helper's protocol version ("8") */
    const char* text;          /* ping: the Helper's path (200) or failure text (409); logs */
    const char* error_code;    /* a JSON error's "code", e.g. "coreSha256Mismatch" */
    const char* error_message; /* a JSON error's "message" */
    int has_os_error;          /* 1 when `os_error` holds the error's "details"."osError" */
    int32_t os_error;
    const char* session_id; /* start, stop: the session ID the Helper echoed */
    uint32_t pid;           /* start: the Core's process ID */
    int stopped;            /* stop: 1 when a Core was stopped */
    const char* reason;     /* stop, when not stopped: "notRunning" or "sessionMismatch" */
} drovane_hc_reply;

typedef struct drovane_hc drovane_hc;

/* Finds the Helper and proves its listener is the service's process. Sets *client to a new
 * handle whatever the result (NULL only with DROVANE_HC_OUT_OF_MEMORY or a NULL `client`), so
 * the error text can be read; close it in every case. The later calls check again on each new
 * connection. Thread-safe. */
DROVANE_HC_API drovane_hc_result drovane_hc_open(drovane_hc** client);

/* Releases the handle and every string it returned. NULL is ignored. */
DROVANE_HC_API void drovane_hc_close(drovane_hc* client);

/* GET /ping: whether the Helper expects the Core whose SHA-256 is `core_sha256` (64 lower-case
 * hexadecimal characters); OK carries the Helper's path in `text`. */
DROVANE_HC_API drovane_hc_result drovane_hc_ping(drovane_hc* client, const char* core_sha256,
                                                 drovane_hc_reply* reply);

/* POST /start: launches the Core for the pipe `address` ("\\.\pipe\DrovaneCore_" and 32
 * lower-case hexadecimal characters) and `session_id` (32 lower-case hexadecimal characters);
 * OK carries the Core's process ID in `pid`. */
DROVANE_HC_API drovane_hc_result drovane_hc_start(drovane_hc* client, const char* address,
                                                  const char* session_id, drovane_hc_reply* reply);

/* POST /stop: stops the Core started under `session_id`. OK with `stopped` 1, or 0 and
 * `reason` "notRunning"; REFUSED with `reason` "sessionMismatch" for another session. */
DROVANE_HC_API drovane_hc_result drovane_hc_stop(drovane_hc* client, const char* session_id,
                                                 drovane_hc_reply* reply);

/* GET /logs: the Helper's recent lines, oldest first, joined by line feeds, in `text`. */
DROVANE_HC_API drovane_hc_result drovane_hc_logs(drovane_hc* client, drovane_hc_reply* reply);

/* The last call's error chain on one line ("" after OK and REFUSED). */
DROVANE_HC_API const char* drovane_hc_error_text(const drovane_hc* client);

/* The result's name, e.g. "DROVANE_HC_NOT_HELPER"; a static string. Thread-safe. */
DROVANE_HC_API const char* drovane_hc_result_name(drovane_hc_result result);

#ifdef __cplusplus
}
#endif

#endif
