#!/usr/bin/python3
"""Runs the router tests with their reply log on, then checks every logged reply against the
protocol document: the status is one the document gives for that path and method, the content
type is one it lists, a JSON body validates against the schema given for it, the required headers
are there with valid values (a header documented as an integer is its decimal digits) and no
header is sent that the document does not name. It also fails when a documented reply was never
produced, so the document and the tests cannot drift apart.

Usage: check_openapi_replies.py TEST_PROGRAM OPENAPI_YAML
"""

import json
import os
import re
import subprocess
import sys
import tempfile

import jsonschema
import yaml

SERVER_HEADERS = {"content-type"}  # described by each reply's content, not as a header
# Documented replies that the router tests do not produce, (method, path, status, content type)
# to the reason that is enough. None today.
UNPRODUCED: dict = {}


def load_refs(document, node):
    """Follows a lone $ref (responses and headers are referenced whole)."""
    seen = 0
    while isinstance(node, dict) and set(node) == {"$ref"}:
        target = document
        for part in node["$ref"].lstrip("#/").split("/"):
            target = target[part.replace("~1", "/").replace("~0", "~")]
        node = target
        seen += 1
        if seen > 16:
            raise ValueError("reference loop")
    return node


def operation_responses(document, method, path):
    """The responses object for a request, and the key it was documented under."""
    trimmed = path[:-1] if len(path) > 1 and path.endswith("/") else path
    item = document["paths"].get(trimmed)
    # Methods are case-sensitive: "get" is not GET, and the router answers it 405.
    if item is not None and method.isupper() and method.lower() in item:
        return trimmed, item[method.lower()]["responses"]
    return "x-drovane-unrouted", document["x-drovane-unrouted"]["responses"]


def check_reply(document, resolver, reply):
    method, path, status = reply["method"], reply["path"], str(reply["status"])
    headers = {name: value for name, value in reply["headers"]}
    where, responses = operation_responses(document, method, path)
    label = f"{method} {path} -> {status}"
    if status not in responses:
        return None, [f"{label}: status not documented under {where}"]
    response = load_refs(document, responses[status])
    content_type = headers.get("content-type")
    content = response.get("content", {})
    if content_type not in content:
        return None, [f"{label}: content type {content_type!r} not documented"]
    problems = []
    schema = content[content_type].get("schema", {})
    if content_type == "application/json":
        try:
            body = json.loads(reply["body"])
        except json.JSONDecodeError as error:
            return None, [f"{label}: body is not JSON: {error}"]
    else:
        body = reply["body"]
    validator = jsonschema.Draft202012Validator(schema, resolver=resolver)
    for error in validator.iter_errors(body):
        problems.append(f"{label}: body {reply['body']!r}: {error.message}")
    documented = {name.lower(): load_refs(document, h)
                  for name, h in response.get("headers", {}).items()}
    for name, value in headers.items():
        if name in SERVER_HEADERS:
            continue
        if name not in documented:
            problems.append(f"{label}: header {name!r} not documented")
            continue
        header_schema = documented[name]["schema"]
        if header_schema.get("type") == "integer":
            # A number on the wire is plain decimal digits, no sign and no leading zero.
            if not re.fullmatch(r"0|[1-9][0-9]*", value):
                problems.append(f"{label}: header {name}: {value!r} is not a decimal integer")
                continue
            value = int(value)
        header_validator = jsonschema.Draft202012Validator(header_schema, resolver=resolver)
        for error in header_validator.iter_errors(value):
            problems.append(f"{label}: header {name}: {error.message}")
    for name, header in documented.items():
        if header.get("required") and name not in headers:
            problems.append(f"{label}: required header {name!r} missing")
    return (method, where, status, content_type), problems


def documented_replies(document):
    keys = set()
    for path, item in document["paths"].items():
        for method, operation in item.items():
            for status, response in operation["responses"].items():
                for content_type in load_refs(document, response).get("content", {}):
                    keys.add((method.upper(), path, status, content_type))
    for status, response in document["x-drovane-unrouted"]["responses"].items():
        for content_type in load_refs(document, response).get("content", {}):
            keys.add(("*", "x-drovane-unrouted", status, content_type))
    return keys


def main():
    program, document_path = sys.argv[1], sys.argv[2]
    with open(document_path, encoding="utf-8") as file:
        document = yaml.safe_load(file)
    resolver = jsonschema.RefResolver(base_uri="", referrer=document)

    with tempfile.TemporaryDirectory() as directory:
        log = os.path.join(directory, "replies.jsonl")
        environment = dict(os.environ, DROVANE_REPLY_LOG=log)
        run = subprocess.run([program, "--gtest_filter=Router*", "--gtest_brief=1"],
                             env=environment, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                             text=True, check=False)
        if run.returncode != 0:
            print(run.stdout)
            print(f"the router tests failed (exit {run.returncode})")
            return 1
        if not os.path.exists(log):
            print("the router tests logged no reply: is DROVANE_REPLY_LOG still read?")
            return 1
        with open(log, encoding="utf-8") as file:
            replies = [json.loads(line) for line in file]

    problems, seen = [], set()
    for reply in replies:
        key, found = check_reply(document, resolver, reply)
        problems += found
        if key is not None:
            method, where, status, content_type = key
            seen.add(("*" if where == "x-drovane-unrouted" else method, where, status,
                      content_type))
    for key in sorted(documented_replies(document) - seen):
        if key not in UNPRODUCED:
            problems.append(f"documented but no router test produced it: {' '.join(key)}")
    for key in sorted(seen & set(UNPRODUCED)):
        problems.append(f"produced now, remove it from UNPRODUCED: {' '.join(key)}")

    for problem in problems:
        print(problem)
    print(f"{len(replies)} router replies checked against {document_path}: "
          f"{len(seen)} documented replies seen, {len(problems)} problems")
    return 1 if problems else 0


if __name__ == "__main__":
    sys.exit(main())
