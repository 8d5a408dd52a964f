#!/usr/bin/env python3
"""Symbol servers and symbol paths: the crasher's PDB is served by a local
HTTP server on 127.0.0.1 as the plain file, as a cabinet (name.pd_), through
file.ptr (PATH: and MSG:), or not at all, and by a server that never
answers. Each decode prints the report and exits 0; what was fetched lands
in the cache and is found there next time; only modules a frame names are
asked for.

    decode_symbol_server_test.py VEKCRASH SYS CRASHER_SYS SCENARIO.json
"""
import http.server
import json
import os
import shutil
import socket
import subprocess
import sys
import tempfile
import threading

# Bounded by the decoder's server timeouts; a hang fails here instead.
DECODE_TIMEOUT_SECONDS = 60


class Served(http.server.BaseHTTPRequestHandler):
    files = {}  # path -> bytes
    asked = []

    def do_GET(self):
        Served.asked.append(self.path)
        body = Served.files.get(self.path)
        if body is None:
            self.send_error(404)
            return
        self.send_response(200)
        self.send_header("Content-Length", str(len(body)))
        self.end_headers()
        self.wfile.write(body)

    def log_message(self, *args):
        pass


def serve():
    server = http.server.ThreadingHTTPServer(("127.0.0.1", 0), Served)
    threading.Thread(target=server.serve_forever, daemon=True).start()
    return server, "http://127.0.0.1:%d" % server.server_address[1]


def decode(vekcrash, console, path, env_path=False):
    env = dict(os.environ)
    env.pop("_NT_SYMBOL_PATH", None)
    command = [vekcrash, "decode", "--json"]
    if env_path:
        env["_NT_SYMBOL_PATH"] = path
    else:
        command += ["--symbols", path]
    result = subprocess.run(command, input=console, capture_output=True, env=env,
                            timeout=DECODE_TIMEOUT_SECONDS)
    reports = [r for r in map(json.loads, result.stdout.splitlines()) if r["kind"] == "report"]
    return result.returncode, reports


def crasher_functions(report):
    return [f.get("function") for f in report["stack"] if f.get("module") == "crasher.sys"]


def main():
    vekcrash, sys_image, crasher, scenario = sys.argv[1:5]
    pdb_bytes = open(os.path.splitext(crasher)[0] + ".pdb", "rb").read()
    console = subprocess.run([vekcrash, "simulate", "--sys", sys_image, scenario],
                             capture_output=True, check=True).stdout
    scratch = tempfile.mkdtemp()
    server, url = serve()
    # Accepts connections and never answers them.
    silent = socket.socket()
    silent.bind(("127.0.0.1", 0))
    silent.listen(8)
    silent_url = "http://127.0.0.1:%d" % silent.getsockname()[1]
    failures = []
    try:
        _, reports = decode(vekcrash, console, scratch)
        row = [m for m in reports[0]["modules"] if m["name"] == "crasher.sys"][0]
        key = "/" + row["symbol_key"]
        folder = key.rsplit("/", 1)[0]
        shared = os.path.join(scratch, "shared")
        os.mkdir(shared)
        elsewhere = os.path.join(shared, "elsewhere.pdb")
        open(elsewhere, "wb").write(pdb_bytes)
        pdb_file = os.path.join(scratch, "crasher.pdb")
        open(pdb_file, "wb").write(pdb_bytes)
        cabinet = os.path.join(scratch, "crasher.pd_")
        subprocess.run(["gcab", "-c", "-z", "-n", cabinet, pdb_file], check=True)
        cab_bytes = open(cabinet, "rb").read()
        os.remove(pdb_file)

        # name, files served, symbol path ({url}, {silent}, {cache}), resolves, note wanted
        cases = [
            ("plain PDB", {key: pdb_bytes}, "srv*{cache}*{url}", True, None),
            ("compressed PDB", {folder + "/crasher.pd_": cab_bytes}, "srv*{cache}*{url}", True, None),
            ("file.ptr to a path", {folder + "/file.ptr": b"PATH:" + elsewhere.encode()},
             "srv*{cache}*{url};{shared}", True, None),
            ("file.ptr to a path off the symbol path", {folder + "/file.ptr": b"PATH:" + elsewhere.encode()},
             "srv*{cache}*{url}", False, "outside every folder"),
            ("file.ptr with a message", {folder + "/file.ptr": b"MSG:withdrawn"},
             "srv*{cache}*{url}", False, "withdrawn"),
            ("not on the server", {}, "srv*{cache}*{url}", False, "no PDB"),
            ("server never answers, then one that has it", {key: pdb_bytes},
             "srv*{cache}*{silent}*{url}", True, "not asked again for"),
            ("cache*DIR, then srv*URL, from _NT_SYMBOL_PATH", {key: pdb_bytes},
             "cache*{cache};srv*{url}", True, None),
            ("cache*DIR not there yet, then srv*URL, from --symbols", {key: pdb_bytes},
             "cache*{cache};srv*{url}", True, None),
        ]
        for number, (name, files, path, resolves, note) in enumerate(cases):
            cache = os.path.join(scratch, "cache%d" % number)
            Served.files, Served.asked = files, []
            path = path.format(cache=cache, url=url, silent=silent_url, shared=shared)
            status, reports = decode(vekcrash, console, path, env_path="NT_SYMBOL" in name)
            if status != 0 or len(reports) != 1:
                failures.append("%s: exit %d, %d reports" % (name, status, len(reports)))
                continue
            named = "CrasherTouch" in crasher_functions(reports[0])
            notes = " ".join(reports[0].get("unsymbolized", []))
            if named != resolves or (note and note not in notes):
                failures.append("%s: resolved %s, notes %r" % (name, named, notes))
            # Only the modules the frames name are asked for.
            framed = {f.get("module") for f in reports[0]["stack"]}
            others = [m["pdb_name"] for m in reports[0]["modules"] if m["name"] not in framed]
            if any(p.split("/")[1] in others for p in Served.asked):
                failures.append("%s: asked for modules no frame names: %r" % (name, Served.asked))
            if resolves:
                # Found in the cache the next time, with the server gone.
                Served.files, Served.asked = {}, []
                status, reports = decode(vekcrash, console, path, env_path="NT_SYMBOL" in name)
                if "CrasherTouch" not in crasher_functions(reports[0]) or \
                        any("crasher" in p for p in Served.asked):
                    failures.append("%s: not taken from the cache: %r" % (name, Served.asked))

        # No report, no question to any server.
        Served.asked = []
        decode(vekcrash, b"boot noise only\n", "srv*%s*%s" % (os.path.join(scratch, "c"), url))
        if Served.asked:
            failures.append("asked %r for a log without reports" % Served.asked)
    finally:
        server.shutdown()
        silent.close()
        shutil.rmtree(scratch)
    for failure in failures:
        print(failure)
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
