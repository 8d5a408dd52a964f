#!/usr/bin/env python3
"""A hostile guest and hostile symbol servers. The guest writes module
names that try to leave the cache; servers on 127.0.0.1 send too much, a
cabinet bomb, redirects elsewhere, a trickle, a pointer to /etc/passwd.
Nothing outside the cache may change, a failed lookup leaves no folder,
each bound ends its case, and a clean report in the same run still gets
its symbols. Then --follow: SIGTERM during a trickling download, and a
socket that accepts and closes at once.

    decode_hostile_test.py VEKCRASH SYS CRASHER_SYS SCENARIO.json
"""
import http.server
import json
import os
import re
import shutil
import signal
import socket
import subprocess
import sys
import tempfile
import threading
import time

DECODE_TIMEOUT_SECONDS = 60   # a hang fails here instead
TRICKLE_SECONDS = 30          # the trickling answer stops by itself
SMALL_BOUND = 1 << 20         # --symbol-max-bytes in the server cases


class Hostile(http.server.BaseHTTPRequestHandler):
    files = {}      # path -> bytes, or a callable(handler) that answers
    otherwise = None  # bytes for every other path (200 garbage), or None (404)
    asked = []
    connections = set()
    protocol_version = "HTTP/1.1"

    def do_GET(self):
        Hostile.asked.append(self.path)
        Hostile.connections.add(self.client_address)
        body = Hostile.files.get(self.path, Hostile.otherwise)
        if callable(body):
            body(self)
            return
        if body is None:
            self.send_response(404)
            self.send_header("Content-Length", "0")
            self.end_headers()
            return
        self.send_response(200)
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)

    def log_message(self, *args):
        pass


def redirect(to):
    def answer(handler):
        handler.send_response(302)
        handler.send_header("Location", to)
        handler.send_header("Content-Length", "0")
        handler.end_headers()
    return answer


def oversize(handler):
    # No length given: only the decoder's own count can stop it.
    handler.send_response(200)
    handler.send_header("Connection", "close")
    handler.end_headers()
    chunk = b"\0" * 65536
    try:
        for _ in range(4 * SMALL_BOUND // len(chunk)):
            handler.wfile.write(chunk)
    except OSError:
        pass
    handler.close_connection = True


def trickle(handler):
    handler.send_response(200)
    handler.send_header("Content-Length", str(1 << 20))
    handler.end_headers()
    end = time.monotonic() + TRICKLE_SECONDS
    try:
        while time.monotonic() < end:
            handler.wfile.write(b"MS")
            handler.wfile.flush()
            time.sleep(1)
    except OSError:
        pass
    handler.close_connection = True


def serve():
    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Hostile)
    server.daemon_threads = True
    threading.Thread(target=server.serve_forever, daemon=True).start()
    return server, server.server_address[1]


def snapshot(root, skip):
    """Every path under root but skip, with its size and time."""
    seen = {}
    for folder, dirs, files in os.walk(root):
        dirs[:] = [d for d in dirs if os.path.join(folder, d) != skip]
        for name in dirs + files:
            path = os.path.join(folder, name)
            info = os.lstat(path)
            seen[path] = (info.st_size, info.st_mtime_ns)
    return seen


def left_in(cache, keep=()):
    """What a run left in the cache, but the store paths in keep."""
    left = []
    for folder, dirs, files in os.walk(cache):
        for name in files:
            path = os.path.relpath(os.path.join(folder, name), cache)
            if path not in keep:
                left.append(path)
        if not dirs and not files and folder != cache:
            left.append(os.path.relpath(folder, cache) + "/")
    return left


def decode(vekcrash, console, path, extra=()):
    env = dict(os.environ)
    env.pop("_NT_SYMBOL_PATH", None)
    started = time.monotonic()
    result = subprocess.run([vekcrash, "decode", "--json", "--symbols", path, *extra],
                            input=console, capture_output=True, env=env,
                            timeout=DECODE_TIMEOUT_SECONDS)
    reports = [r for r in map(json.loads, result.stdout.splitlines()) if r["kind"] == "report"]
    return result.returncode, reports, time.monotonic() - started


def functions(report, module):
    return [f.get("function") for f in report["stack"] if f.get("module") == module]


def renamed(console, name, pdb_column):
    """The crasher's report with the crasher's module row and frames renamed."""
    text = console.replace(b"crasher.sys\t\t", name + b"\t" + pdb_column + b"\t")
    return text.replace(b") crasher.sys + ", b") " + name + b" + ")


def main():
    vekcrash, sys_image, crasher, scenario = sys.argv[1:5]
    pdb_bytes = open(os.path.splitext(crasher)[0] + ".pdb", "rb").read()
    console = subprocess.run([vekcrash, "simulate", "--sys", sys_image, scenario],
                             capture_output=True, check=True).stdout
    guid_age = re.search(rb"crasher\.sys\t\t([0-9A-F]{32})\t([0-9A-F]+)", console)
    identity = guid_age.group(1) + guid_age.group(2)
    key = b"crasher.pdb/" + identity + b"/crasher.pdb"
    scratch = tempfile.mkdtemp()
    server, port = serve()
    url = "http://127.0.0.1:%d" % port
    failures = []
    try:
        cache = os.path.join(scratch, "cache")
        outside = os.path.join(scratch, "outside")
        # Files where an escaping name would write, each to stay as it is.
        for marker in ["outside/abs.pdb/%s/abs.pdb", "escape.pdb/%s/escape.pdb", "passwd"]:
            path = os.path.join(scratch, marker % identity.decode() if "%s" in marker else marker)
            os.makedirs(os.path.dirname(path), exist_ok=True)
            open(path, "wb").write(b"marker")

        # name, PDB column, asked for (URL-encoded) or refused
        names = [
            ("absolute", outside.encode() + b"/abs.sys", b"", False),
            ("../", b"../escape.sys", b"", False),
            ("PDB column ..", b"dots.sys", b"..", False),
            ("NUL", b"nul\0" + scratch.encode() + b"/passwd", b"", False),
            ("store path as a name", b"crasher.pdb/" + identity + b"/crasher.sys", b"", False),
            ("deep a/a/...", b"a/" * 40 + b"a.sys", b"", False),
            ("control byte", b"ctl\x01.sys", b"", False),
            ("300 bytes", b"l" * 296 + b".sys", b"", False),
            ("space", b"with space#?.sys", b"", True),
            ("250 bytes", b"m" * 246 + b".sys", b"", True),
        ]
        # 404 for every other path, or 200 with garbage
        for otherwise in [None, b"garbage " * 64]:
            for name, module, column, asked in names:
                case = "%s, %s" % (name, "404" if otherwise is None else "200 garbage")
                shutil.rmtree(cache, ignore_errors=True)
                # A folder left where the PDB belongs by a damaged run is cleared.
                os.makedirs(os.path.join(cache, key.decode()))
                before = snapshot(scratch, cache)
                Hostile.files, Hostile.otherwise, Hostile.asked = \
                    {"/" + key.decode(): pdb_bytes}, otherwise, []
                Hostile.connections = set()
                status, reports, _ = decode(vekcrash, renamed(console, module, column) + console,
                                            "srv*%s*%s" % (cache, url))
                if status != 0 or len(reports) != 2:
                    failures.append("%s: exit %d, %d reports" % (case, status, len(reports)))
                    continue
                if snapshot(scratch, cache) != before:
                    failures.append("%s: changed outside the cache" % case)
                left = left_in(cache, keep={key.decode()})
                if left:
                    failures.append("%s: left %r in the cache" % (case, left[:3]))
                if "CrasherTouch" not in functions(reports[1], "crasher.sys"):
                    failures.append("%s: the clean report lost its symbols: %r" %
                                    (case, reports[1].get("unsymbolized")))
                stem = module.split(b".")[0][-8:].decode("latin-1")
                hostile_asks = [p for p in Hostile.asked if "crasher" not in p and
                                "vekcrashdmp" not in p and "ntoskrnl" not in p]
                if bool(hostile_asks) != asked or len(hostile_asks) > 3:
                    failures.append("%s: asked %r" % (case, hostile_asks))
                # One connection kept alive for every request of the run.
                if len(Hostile.connections) > 1:
                    failures.append("%s: %d connections for %d requests" %
                                    (case, len(Hostile.connections), len(Hostile.asked)))
                notes = " ".join(reports[0].get("unsymbolized", []))
                if not asked and "not looked up" not in notes:
                    failures.append("%s: no note naming the refusal: %r (%s)" % (case, notes, stem))

        # Hostile servers: what the crasher's key answers, the options, the
        # note wanted; the cache is left empty and no case outlasts its bound.
        folder = "/" + key.decode().rsplit("/", 1)[0]
        bomb_source = os.path.join(scratch, "crasher.pdb")
        open(bomb_source, "wb").write(b"\0" * (4 * SMALL_BOUND))
        bomb = os.path.join(scratch, "crasher.pd_")
        subprocess.run(["gcab", "-c", "-z", "-n", bomb, bomb_source], check=True)
        bomb_bytes = open(bomb, "rb").read()
        os.remove(bomb_source)
        limit = ["--symbol-max-bytes", str(SMALL_BOUND)]
        servers = [
            ("oversize body", {"/" + key.decode(): oversize}, limit, "sends more than"),
            ("cabinet bomb", {folder + "/crasher.pd_": bomb_bytes}, limit, "expands to"),
            ("redirect to another host",
             {"/" + key.decode(): redirect("http://localhost:%d/elsewhere" % port)}, [],
             "another host"),
            ("redirect to ftp", {"/" + key.decode(): redirect("ftp://127.0.0.1:%d/x" % port)}, [],
             "not http or https"),
            ("redirect loop", {"/" + key.decode(): redirect("/" + key.decode())}, [],
             "more than 5"),
            ("file.ptr to /etc/passwd", {folder + "/file.ptr": b"PATH:/etc/passwd"}, [],
             "outside every folder"),
            ("trickle", {"/" + key.decode(): trickle}, [], "not asked again for"),
        ]
        for name, files, extra, note in servers:
            shutil.rmtree(cache, ignore_errors=True)
            Hostile.files, Hostile.otherwise, Hostile.asked = files, None, []
            status, reports, took = decode(vekcrash, console, "srv*%s*%s" % (cache, url), extra)
            if status != 0 or len(reports) != 1:
                failures.append("%s: exit %d, %d reports" % (name, status, len(reports)))
                continue
            notes = " ".join(reports[0].get("unsymbolized", []))
            if note not in notes:
                failures.append("%s: notes %r" % (name, notes))
            if os.path.exists(cache) and left_in(cache) + os.listdir(cache):
                failures.append("%s: left %r in the cache" % (name, os.listdir(cache)))
            if "/elsewhere" in Hostile.asked or Hostile.asked.count("/" + key.decode()) > 6:
                failures.append("%s: followed to %r" % (name, Hostile.asked))
            if took > 20:
                failures.append("%s: took %.1f s" % (name, took))

        failures += follow_cases(vekcrash, console, key.decode(), scratch, url)
    finally:
        server.shutdown()
        shutil.rmtree(scratch)
    for failure in failures:
        print(failure)
    return 1 if failures else 0


def follow_cases(vekcrash, console, key, scratch, url):
    failures = []
    # SIGTERM while the report's PDB trickles in: out within a second,
    # with the report it held printed; --follow exits 0, a plain decode
    # ends by the signal once the report is out.
    log = os.path.join(scratch, "console.log")
    open(log, "wb").write(console)
    for mode, status in [("--follow", 0), ("plain", -signal.SIGTERM)]:
        Hostile.files, Hostile.otherwise, Hostile.asked = {"/" + key: trickle}, None, []
        cache = os.path.join(scratch, "fcache")
        follow = subprocess.Popen([vekcrash, "decode", "--json", "--symbols", "srv*%s*%s" % (cache, url),
                                   log] + (["--follow"] if mode == "--follow" else []),
                                  stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        deadline = time.monotonic() + 20
        while "/" + key not in Hostile.asked and time.monotonic() < deadline:
            time.sleep(0.05)
        time.sleep(0.5)
        follow.send_signal(signal.SIGTERM)
        try:
            out, _ = follow.communicate(timeout=1.5)
            if follow.returncode != status or b'"kind":"report"' not in out.replace(b" ", b""):
                failures.append("%s SIGTERM: exit %d, printed %r" % (mode, follow.returncode, out[:80]))
        except subprocess.TimeoutExpired:
            follow.kill()
            follow.communicate()
            failures.append("%s SIGTERM: still running after a second" % mode)
        if os.path.exists(cache) and os.listdir(cache):
            failures.append("%s SIGTERM: left %r in the cache" % (mode, os.listdir(cache)))

    # A socket that accepts and closes: connected again with a growing pause.
    path = os.path.join(scratch, "serial.sock")
    listener = socket.socket(socket.AF_UNIX)
    listener.bind(path)
    listener.listen(64)
    listener.settimeout(0.1)
    follow = subprocess.Popen([vekcrash, "decode", "--follow", "unix:" + path],
                              stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    connections = 0
    end = time.monotonic() + 3
    while time.monotonic() < end:
        try:
            peer, _ = listener.accept()
            peer.close()
            connections += 1
        except socket.timeout:
            pass
    follow.send_signal(signal.SIGTERM)
    follow.wait(timeout=DECODE_TIMEOUT_SECONDS)
    listener.close()
    if connections > 8:
        failures.append("--follow on a closing socket: %d connections in 3 s" % connections)
    return failures


if __name__ == "__main__":
    sys.exit(main())
