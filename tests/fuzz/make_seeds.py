#!/usr/bin/env python3
"""Writes the seed corpora of the fuzz targets into seeds/<target>/ beside this script: valid
requests of each endpoint and a few malformed ones. Run it again after changing a seed here."""
import pathlib
import struct

here = pathlib.Path(__file__).resolve().parent / "seeds"
digest = "0" * 64
session = "0123456789abcdef0123456789abcdef"
address = "\\\\\\\\.\\\\pipe\\\\DrovaneCore_" + "a" * 32  # JSON-escaped \\.\pipe\DrovaneCore_...
start_body = '{"address":"%s","sessionId":"%s"}' % (address, session)
stop_body = '{"sessionId":"%s"}' % session


def write(target, name, data):
    folder = here / target
    folder.mkdir(parents=True, exist_ok=True)
    (folder / name).write_bytes(data if isinstance(data, bytes) else data.encode("latin-1"))


# Router: "METHOD TARGET", header lines, an empty line, the body (see fuzz_router.cpp).
def routed(method, target, headers, body=None):
    text = "%s %s\n" % (method, target) + "".join("%s: %s\n" % h for h in headers)
    return text if body is None else text + "\n" + body


def json_post(path, body, host="127.0.0.1"):
    return [("Host", host), ("Content-Type", "application/json"),
            ("Content-Length", str(len(body)))], body


write("router", "ping", routed("GET", "/ping?coreSha256=" + digest, [("Host", "127.0.0.1:5000")]))
write("router", "logs", routed("GET", "/logs", [("Host", "localhost")]))
headers, body = json_post("/start", start_body)
write("router", "start", routed("POST", "/start", headers, body))
headers, body = json_post("/stop", '["%s"]' % session, host="DrovaneHelperService")
write("router", "stop-array", routed("POST", "/stop/", headers, body))
write("router", "origin", routed("POST", "/stop", [("Host", "localhost"), ("Origin", "null")]))
write("router", "too-large", routed("POST", "/start", [("Content-Length", "4097")], ""))
write("router", "media-type", routed("POST", "/stop", [("Content-Type", "text/plain"),
                                                       ("Content-Length", "2")], "{}"))
write("router", "bad-host", routed("GET", "/nothing", [("Host", "[::1]:80"), ("Host", "x y")]))


# HTTP/1.1: raw connection bytes.
def h1(method, target, headers, body=""):
    head = "%s %s HTTP/1.1\r\n" % (method, target)
    return head + "".join("%s: %s\r\n" % h for h in headers) + "\r\n" + body


local = ("Host", "127.0.0.1")
write("http1", "ping", h1("GET", "/ping?coreSha256=" + digest, [local]))
write("http1", "logs-twice", h1("GET", "/logs", [local]) + h1("GET", "/logs", [local]))
write("http1", "start", h1("POST", "/start", [local, ("Content-Type", "application/json"),
                                              ("Content-Length", str(len(start_body)))],
                           start_body))
write("http1", "stop-continue", h1("POST", "/stop", [local, ("Expect", "100-continue"),
                                                     ("Content-Length", str(len(stop_body)))],
                                   stop_body))
write("http1", "stop-chunked", h1("POST", "/stop", [local, ("Transfer-Encoding", "chunked")],
                                  "%x\r\n%s\r\n0\r\n\r\n" % (len(stop_body), stop_body)))
write("http1", "origin-with-body", h1("POST", "/start", [local, ("Origin", "http://a"),
                                                         ("Content-Length", "10")], "0123"))
write("http1", "length-abc", h1("POST", "/stop", [local, ("Content-Length", "abc")]))
write("http1", "bad-host", h1("GET", "/logs", [("Host", "local\x7fhost")]))
write("http1", "bad-request-line", "GET /logs HTTP/1.1 extra\r\n\r\n")
write("http1", "http10", "GET /logs HTTP/1.0\r\n\r\n")


# HTTP/2: frames after the connection preface, which the target sends itself.
def frame(kind, flags, stream, payload=b""):
    return struct.pack(">I", len(payload))[1:] + bytes([kind, flags]) + \
        struct.pack(">I", stream) + payload


def literal(name, value):  # literal header field without indexing, new name, no Huffman
    name, value = name.encode("latin-1"), value.encode("latin-1")
    assert len(name) < 127 and len(value) < 127
    return b"\x00" + bytes([len(name)]) + name + bytes([len(value)]) + value


def block(*fields):
    return b"".join(literal(n, v) for n, v in fields)


DATA, HEADERS, RST_STREAM, SETTINGS, PING, GOAWAY, WINDOW_UPDATE, CONTINUATION = \
    0, 1, 3, 4, 6, 7, 8, 9
END_STREAM, END_HEADERS, ACK = 1, 4, 1
settings = frame(SETTINGS, 0, 0)
get_logs = block((":method", "GET"), (":scheme", "http"), (":path", "/logs"),
                 (":authority", "127.0.0.1"))


def post(path, body, *extra):
    fields = block((":method", "POST"), (":scheme", "http"), (":path", path),
                   (":authority", "localhost"), ("content-type", "application/json"),
                   *extra)
    return fields, body.encode()


write("http2", "logs", settings + frame(HEADERS, END_HEADERS | END_STREAM, 1, get_logs))
# GET / from the static table (not found), then a ping on the next stream.
write("http2", "root-indexed-then-ping", settings + frame(
    HEADERS, END_HEADERS | END_STREAM, 1, b"\x82\x86\x84" + literal(":authority", "localhost")) +
    frame(SETTINGS, ACK, 0) + frame(HEADERS, END_HEADERS | END_STREAM, 3, block(
        (":method", "GET"), (":scheme", "http"), (":path", "/ping?coreSha256=" + digest),
        (":authority", "127.0.0.1"))))
fields, body = post("/start", start_body, ("content-length", str(len(start_body))))
write("http2", "start", settings + frame(HEADERS, END_HEADERS, 1, fields) +
      frame(DATA, END_STREAM, 1, body))
fields, body = post("/stop", stop_body, ("content-length", str(len(stop_body))))
write("http2", "stop-continuation", settings + frame(HEADERS, 0, 3, fields[:20]) +
      frame(CONTINUATION, END_HEADERS, 3, fields[20:]) + frame(DATA, END_STREAM, 3, body))
# Rejections decided from HEADERS that do not end the stream.
fields, _ = post("/stop", "", ("origin", "http://a"))
write("http2", "origin-open-stream", settings + frame(HEADERS, END_HEADERS, 1, fields) +
      frame(DATA, 0, 1, b"{") + frame(HEADERS, END_HEADERS | END_STREAM, 3, get_logs))
fields, _ = post("/start", "", ("content-length", "5000"))
write("http2", "too-large-open-stream", settings + frame(HEADERS, END_HEADERS, 1, fields) +
      frame(WINDOW_UPDATE, 0, 0, struct.pack(">I", 65535)))
write("http2", "bad-authority", settings + frame(HEADERS, END_HEADERS | END_STREAM, 1, block(
    (":method", "GET"), (":scheme", "http"), (":path", "/logs"), (":authority", "a b"),
    ("host", "localhost"))))
write("http2", "ping-rst-goaway", settings + frame(PING, 0, 0, b"12345678") +
      frame(HEADERS, END_HEADERS, 1, get_logs) + frame(RST_STREAM, 0, 1, b"\0\0\0\x08") +
      frame(GOAWAY, 0, 0, b"\0\0\0\x01\0\0\0\0"))
