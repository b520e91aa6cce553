"""HTTP requests to qm4720d with the standard library's urllib, for the HTTP tests."""
import json
import time
import urllib.error
import urllib.request


def request(url, body=None, headers=None, timeout=10):
    """(status, headers, body text) of a GET, or a POST when `body` is given (a dict is sent as
    JSON, a str as it is); an HTTP error status is returned, not raised."""
    data = None
    if body is not None:
        data = (json.dumps(body) if isinstance(body, dict) else body).encode()
    r = urllib.request.Request(url, data=data, headers=headers or {},
                               method="GET" if data is None else "POST")
    try:
        with urllib.request.urlopen(r, timeout=timeout) as reply:
            return reply.status, reply.headers, reply.read().decode()
    except urllib.error.HTTPError as error:
        return error.code, error.headers, error.read().decode()


def wait_until(what, seconds):
    """The last value of `what()` once it is true, or within `seconds` its last false value."""
    deadline = time.monotonic() + seconds
    while True:
        value = what()
        if value or time.monotonic() >= deadline:
            return value
        time.sleep(0.1)
