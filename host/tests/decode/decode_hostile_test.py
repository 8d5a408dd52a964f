#!/usr/bin/env python3
"""A hostile guest and hostile symbol servers on 127.0.0.1. Module names
that try to leave the cache change nothing outside it and leave no folder,
and a clean report in the same run still gets its symbols; servers that
send too much, a cabinet bomb, redirects elsewhere, a trickle or a pointer
to /etc/passwd are bounded and leave the cache empty. SIGTERM during a
trickling download ends the run within a second with the report printed;
--follow on a socket that accepts and closes reconnects with a pause.

    decode_hostile_test.py VEKCRASH SYS CRASHER_SYS SCENARIO.json
"""
import http.server, json, os, re, shutil, signal, socket, subprocess, sys, tempfile, threading, time

TIMEOUT = 60           # a hang fails here instead
TRICKLE_SECONDS = 30   # the trickling answer stops by itself
BOUND = 1 << 20        # --symbol-max-bytes in the server cases


class Hostile(http.server.BaseHTTPRequestHandler):
    files, otherwise, asked, connections = {}, None, [], set()  # otherwise: None is 404
    protocol_version = "HTTP/1.1"

    def do_GET(self):
        Hostile.asked.append(self.path)
        Hostile.connections.add(self.client_address)
        body = Hostile.files.get(self.path, Hostile.otherwise)
        if callable(body):
            return body(self)
        self.send_response(404 if body is None else 200)
        self.send_header("Content-Length", str(len(body or b"")))
        self.end_headers()
        self.wfile.write(body or b"")

    def log_message(self, *args):
        pass


def redirect(to):
    def answer(handler):
        handler.send_response(302)
        handler.send_header("Location", to)
        handler.send_header("Content-Length", "0")
        handler.end_headers()
    return answer


def endless(chunk, pause, seconds, length=None):
    """A body of `chunk` every `pause` seconds, for at most `seconds`."""
    def answer(handler):
        handler.send_response(200)
        handler.send_header(*(("Content-Length", str(length)) if length else ("Connection", "close")))
        handler.end_headers()
        end = time.monotonic() + seconds
        try:
            while time.monotonic() < end:
                handler.wfile.write(chunk)
                handler.wfile.flush()
                time.sleep(pause)
        except OSError:
            pass
        handler.close_connection = True
    return answer


def snapshot(root, skip):
    seen = {}
    for folder, dirs, files in os.walk(root):
        dirs[:] = [d for d in dirs if os.path.join(folder, d) != skip]
        for path in (os.path.join(folder, n) for n in dirs + files):
            seen[path] = (os.lstat(path).st_size, os.lstat(path).st_mtime_ns)
    return seen


def left_in(cache, keep=()):
    """Files and empty folders a run left in the cache, but the store paths in keep."""
    left = []
    for folder, dirs, files in os.walk(cache):
        left += [p for p in (os.path.relpath(os.path.join(folder, n), cache) for n in files) if p not in keep]
        left += [folder + "/"] if not dirs and not files and folder != cache else []
    return left


def decode(vekcrash, console, path, extra=()):
    env = {k: v for k, v in os.environ.items() if k != "_NT_SYMBOL_PATH"}
    started = time.monotonic()
    result = subprocess.run([vekcrash, "decode", "--json", "--symbols", path, *extra], input=console,
                            capture_output=True, env=env, timeout=TIMEOUT)
    reports = [r for r in map(json.loads, result.stdout.splitlines()) if r["kind"] == "report"]
    return result.returncode, reports, time.monotonic() - started


def main():
    vekcrash, sys_image, crasher, scenario = sys.argv[1:5]
    pdb_bytes = open(os.path.splitext(crasher)[0] + ".pdb", "rb").read()
    console = subprocess.run([vekcrash, "simulate", "--sys", sys_image, scenario],
                             capture_output=True, check=True).stdout
    found = re.search(rb"crasher\.sys\t\t([0-9A-F]{32})\t([0-9A-F]+)", console)
    identity = (found.group(1) + found.group(2)).decode()
    key = "crasher.pdb/%s/crasher.pdb" % identity
    scratch = tempfile.mkdtemp()
    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Hostile)
    server.daemon_threads = True
    threading.Thread(target=server.serve_forever, daemon=True).start()
    port = server.server_address[1]
    url = "http://127.0.0.1:%d" % port
    cache = os.path.join(scratch, "cache")
    failures = []
    try:
        # Files where an escaping name would write, each to stay as it is.
        for marker in ["outside/abs.pdb/%s/abs.pdb" % identity, "escape.pdb/%s/escape.pdb" % identity,
                       "passwd"]:
            os.makedirs(os.path.dirname(os.path.join(scratch, marker)), exist_ok=True)
            open(os.path.join(scratch, marker), "wb").write(b"marker")
        outside = os.path.join(scratch, "outside").encode()
        # name, PDB column, asked for (escaped) rather than refused
        names = [
            ("absolute", outside + b"/abs.sys", b"", False),
            ("../", b"../escape.sys", b"", False),
            ("PDB column ..", b"dots.sys", b"..", False),
            ("NUL", b"nul\0" + scratch.encode() + b"/passwd", b"", False),
            ("store path as a name", b"crasher.pdb/%s/crasher.sys" % identity.encode(), b"", False),
            ("deep a/a/...", b"a/" * 40 + b"a.sys", b"", False),
            ("control byte", b"ctl\x01.sys", b"", False),
            # The longest name the driver prints (a longer one is no row),
            # whose PDB name is a byte past a store name's bound.
            ("256 bytes", b"l" * 252 + b".sys", b"", False),
            ("space", b"with space#?.sys", b"", True),
            ("250 bytes", b"m" * 246 + b".sys", b"", True),
        ]
        for otherwise in [None, b"garbage " * 64]:
            for name, module, column, asked in names:
                case = "%s, %s" % (name, "404" if otherwise is None else "200 garbage")
                shutil.rmtree(cache, ignore_errors=True)
                os.makedirs(os.path.join(cache, key))  # an older run's folder where the PDB belongs
                before = snapshot(scratch, cache)
                Hostile.files, Hostile.otherwise, Hostile.asked = {"/" + key: pdb_bytes}, otherwise, []
                Hostile.connections = set()
                hostile = console.replace(b"crasher.sys\t\t", module + b"\t" + column + b"\t") \
                                 .replace(b") crasher.sys + ", b") " + module + b" + ")
                status, reports, _ = decode(vekcrash, hostile + console, "srv*%s*%s" % (cache, url))
                if status != 0 or len(reports) != 2:
                    failures.append("%s: exit %d, %d reports" % (case, status, len(reports)))
                    continue
                clean = [f.get("function") for f in reports[1]["stack"] if f.get("module") == "crasher.sys"]
                hostile_asks = [p for p in Hostile.asked if not re.search("crasher|vekcrashdmp|ntoskrnl", p)]
                notes = " ".join(reports[0].get("unsymbolized", []))
                for wrong, what in [
                        (snapshot(scratch, cache) != before, "changed outside the cache"),
                        (left_in(cache, keep={key}), "left %r in the cache" % left_in(cache, {key})[:3]),
                        ("CrasherTouch" not in clean, "the clean report lost its symbols"),
                        (bool(hostile_asks) != asked or len(hostile_asks) > 3, "asked %r" % hostile_asks),
                        (not asked and "not looked up" not in notes, "no note names the refusal"),
                        (len(Hostile.connections) > 1, "%d connections" % len(Hostile.connections))]:
                    if wrong:
                        failures.append("%s: %s" % (case, what))

        # What the crasher's key answers, the options, the note wanted.
        folder = "/" + key.rsplit("/", 1)[0]
        bomb = os.path.join(scratch, "crasher.pdb")
        open(bomb, "wb").write(b"\0" * (4 * BOUND))
        subprocess.run(["gcab", "-c", "-z", "-n", bomb[:-1] + "_", bomb], check=True)
        limit = ["--symbol-max-bytes", str(BOUND)]
        servers = [
            ("oversize body", {"/" + key: endless(b"\0" * 65536, 0, 10)}, limit, "sends more than"),
            ("cabinet bomb", {folder + "/crasher.pd_": open(bomb[:-1] + "_", "rb").read()}, limit,
             "expands to"),
            ("redirect to another host", {"/" + key: redirect("http://localhost:%d/elsewhere" % port)},
             [], "another host"),
            ("redirect to ftp", {"/" + key: redirect("ftp://127.0.0.1:%d/x" % port)}, [],
             "not http or https"),
            ("redirect loop", {"/" + key: redirect("/" + key)}, [], "more than 5"),
            ("file.ptr to /etc/passwd", {folder + "/file.ptr": b"PATH:/etc/passwd"}, [],
             "outside every folder"),
            ("trickle", {"/" + key: endless(b"MS", 1, TRICKLE_SECONDS, 1 << 20)}, [], "not asked again for"),
            # Fast enough not to stall (2 KiB/s), too slow to finish: the
            # report's own wait ends it.
            ("the report's wait", {"/" + key: endless(b"M" * 2048, 1, TRICKLE_SECONDS, 1 << 20)},
             ["--symbol-wait", "2"], "wait for symbols ran out"),
        ]
        for name, files, extra, note in servers:
            shutil.rmtree(cache, ignore_errors=True)
            Hostile.files, Hostile.otherwise, Hostile.asked = files, None, []
            status, reports, took = decode(vekcrash, console, "srv*%s*%s" % (cache, url), extra)
            notes = " ".join(reports[0].get("unsymbolized", [])) if reports else ""
            if status != 0 or note not in notes or took > 20:
                failures.append("%s: exit %d, %.1f s, notes %r" % (name, status, took, notes))
            if os.path.exists(cache) and os.listdir(cache):
                failures.append("%s: left %r in the cache" % (name, os.listdir(cache)))
            if "/elsewhere" in Hostile.asked or Hostile.asked.count("/" + key) > 6:
                failures.append("%s: followed to %r" % (name, Hostile.asked))

        # A report naming 40 modules asks servers for 16 of them at most.
        row = re.search(rb"crasher\.sys\t\t.*\n", console).group(0)
        frame = re.search(rb".*\) crasher\.sys \+ .*\n", console).group(0)
        many = console.replace(row, b"".join(row.replace(b"crasher", b"m%02d" % i) for i in range(40)))
        many = many.replace(frame, b"".join(frame.replace(b"crasher", b"m%02d" % i) for i in range(40)))
        Hostile.files, Hostile.asked = {}, []
        status, reports, _ = decode(vekcrash, many, "srv*%s*%s" % (cache, url))
        asked_modules = {p.split("/")[1] for p in Hostile.asked}
        if len(asked_modules) > 16 or "server lookups are spent" not in " ".join(reports[0]["unsymbolized"]):
            failures.append("40 modules: asked for %d: %r" % (len(asked_modules), reports[0]["unsymbolized"]))

        failures += server_pause_case(vekcrash, console, key, pdb_bytes, scratch, url)
        failures += signal_cases(vekcrash, console, key, scratch, url)
    finally:
        server.shutdown()
        shutil.rmtree(scratch)
    for failure in failures:
        print(failure)
    return 1 if failures else 0


def hang_up(handler):
    """Closes the connection without an answer: a server that is down."""
    handler.close_connection = True


def server_pause_case(vekcrash, console, key, pdb_bytes, scratch, url):
    """A server that hung up is left alone for --symbol-server-pause only: in
    --follow, a report that comes after the pause gets its symbols."""
    log = os.path.join(scratch, "pause.log")
    open(log, "wb").write(console)
    cache = os.path.join(scratch, "pcache")
    Hostile.files, Hostile.otherwise, Hostile.asked = {"/" + key: hang_up}, None, []
    decoder = subprocess.Popen([vekcrash, "decode", "--follow", "--json", "--symbol-server-pause", "1",
                                "--symbols", "srv*%s*%s" % (cache, url), log],
                               stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
    lines = []  # read on a thread, so that a decoder that prints nothing fails the case
    threading.Thread(target=lambda: lines.extend(decoder.stdout), daemon=True).start()
    reports = []
    try:
        for second in [False, True]:
            deadline = time.monotonic() + 20
            while len(reports) <= second and time.monotonic() < deadline:
                reports = [r for r in map(json.loads, list(lines)) if r["kind"] == "report"]
                time.sleep(0.05)
            if len(reports) <= second:
                return ["server pause: %d reports printed" % len(reports)]
            if not second:
                Hostile.files = {"/" + key: pdb_bytes}
                time.sleep(1.5)
                with open(log, "ab") as f:  # another crash: a repeat would show once
                    f.write(re.sub(rb"(CRASHED ON: \S+ )\S+", rb"\g<1>05:00:00:000", console))
    finally:
        decoder.send_signal(signal.SIGTERM)
        decoder.communicate(timeout=TIMEOUT)
        shutil.rmtree(cache, ignore_errors=True)
    named = [[f.get("function") for f in r.get("stack", []) if f.get("module") == "crasher.sys"]
             for r in reports]
    notes = " ".join(reports[0].get("unsymbolized", []))
    if "not asked again for 1 s" not in notes or "CrasherTouch" not in named[1]:
        return ["server pause: first report's notes %r, second report's crasher frames %r" %
                (notes, named[1])]
    return []


def signal_cases(vekcrash, console, key, scratch, url):
    failures = []
    log = os.path.join(scratch, "console.log")
    open(log, "wb").write(console)
    cache = os.path.join(scratch, "fcache")
    # --follow exits 0; a plain decode ends by the signal once the report
    # (or the summary) is out.
    for mode, status, kind in [(["--follow"], 0, b"report"), ([], -signal.SIGTERM, b"report"),
                               (["--summary"], -signal.SIGTERM, b"signature")]:
        Hostile.files, Hostile.asked = {"/" + key: endless(b"MS", 1, TRICKLE_SECONDS, 1 << 20)}, []
        decoder = subprocess.Popen([vekcrash, "decode", "--json", "--symbols", "srv*%s*%s" % (cache, url),
                                    log] + mode, stdout=subprocess.PIPE, stderr=subprocess.PIPE)
        deadline = time.monotonic() + 20
        while "/" + key not in Hostile.asked and time.monotonic() < deadline:
            time.sleep(0.05)
        time.sleep(0.5)
        decoder.send_signal(signal.SIGTERM)
        try:
            out, _ = decoder.communicate(timeout=1.5)
            if decoder.returncode != status or b'"kind":"%s"' % kind not in out.replace(b" ", b""):
                failures.append("%s SIGTERM: exit %d, printed %r" % (mode, decoder.returncode, out[:80]))
        except subprocess.TimeoutExpired:
            decoder.kill()
            decoder.communicate()
            failures.append("%s SIGTERM: still running after a second" % mode)
        if os.path.exists(cache) and os.listdir(cache):
            failures.append("%s SIGTERM: left %r in the cache" % (mode, os.listdir(cache)))

    # A socket that accepts and closes: connected again with a growing pause.
    path = os.path.join(scratch, "serial.sock")
    listener = socket.socket(socket.AF_UNIX)
    listener.bind(path)
    listener.listen(64)
    listener.settimeout(0.1)
    decoder = subprocess.Popen([vekcrash, "decode", "--follow", "unix:" + path],
                               stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
    connections, end = 0, time.monotonic() + 3
    while time.monotonic() < end:
        try:
            listener.accept()[0].close()
            connections += 1
        except socket.timeout:
            pass
    decoder.send_signal(signal.SIGTERM)
    decoder.wait(timeout=TIMEOUT)
    listener.close()
    if connections > 8:
        failures.append("--follow on a closing socket: %d connections in 3 s" % connections)
    return failures


if __name__ == "__main__":
    sys.exit(main())
