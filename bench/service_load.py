#!/usr/bin/env python3
"""Load and faults against corvex-service, on 127.0.0.1 only.

Phase 1: 20 clients x 100 mixed requests (upload, list, delete) over 5 accounts,
through a fault proxy that drops one connection in DROP_EVERY after the request
went out to the service and its answer began to come back, so the client never
sees the answer and sends the request again (an upload under the same
Idempotency-Key, as the studio's outbox does). Halfway through, the service is
killed with SIGKILL and started again on the same store. Afterwards the store
is read directly: the shows stored must be exactly the acknowledged uploads
minus the acknowledged deletions, each once; SQLite must pass
PRAGMA integrity_check, PostgreSQL pg_amcheck (heap and indexes) and the same
relational checks.

Phase 2: list latency on its own, then with four clients guessing passwords
(each guess from a new loopback address and email, so the failure limits do
not slow them down and every guess costs a full password derivation). The
figure is list p99 under guessing, against the 50 ms goal, and its ratio to the
list p99 without guessing measured in the same run.

Phase 3: an attack. 20 clients list their shows; then one address opens
slowloris connections (heads that never end, a line every few seconds) and
four connections send 500 pipelined listings each and never read, while the
20 clients go on. It prints the service's peak RSS (VmHWM) and the clients'
list p99 before and during; goals: peak RSS under 200 MB, p99 during within
3 x p99 before.

--db proxied runs all three against two replicas behind nginx on PostgreSQL
(scripts/service-cluster); the kill of phase 1 then kills one replica for good,
and peak RSS is the larger replica's.

  bench/service_load.py [--db sqlite|postgresql|proxied|all] [--runs N] [--service PATH]
                        [--postgres-url URL]

PostgreSQL needs a server: --postgres-url or CORVEX_TEST_POSTGRES_URL (for
example from `scripts/test-services start DIR` and `scripts/test-services env
DIR`); each run creates a database of its own there and drops it afterwards.
Needs python3 and, for PostgreSQL, psql and pg_amcheck. Every loop is bounded;
a run gives up after --deadline seconds.
"""

import argparse
import http.client
import json
import os
import random
import re
import shutil
import signal
import socket
import sqlite3
import statistics
import subprocess
import sys
import tempfile
import threading
import time
import urllib.parse
import uuid

CLIENTS = 20
SLOWLORIS = 300
PIPELINERS = 4
PIPELINED = 500
ATTACK_SECONDS = 20
REQUESTS = 100
ACCOUNTS = 5
GUESSERS = 4
DROP_EVERY = 7  # one write request in seven loses its answer
MAX_ATTEMPTS = 60
LIST_SAMPLES = 300
PASSWORD = "bench password"


def log(message):
    print(f"service_load: {message}", flush=True)


# --- The upload body: a small valid light-show record ------------------------

GRID = [(1, 1), (0, 2), (0, 1), (0, 0), (1, 0), (2, 0), (1, 2), (2, 2), (2, 1)]


def varint(value):
    out = bytearray()
    while True:
        byte = value & 0x7F
        value >>= 7
        if value:
            out.append(byte | 0x80)
        else:
            out.append(byte)
            return bytes(out)


def field(number, wire, payload):
    key = varint((number << 3) | wire)
    if wire == 2:
        return key + varint(len(payload)) + payload
    return key + payload


def packed(number, values):
    return field(number, 2, b"".join(varint(v) for v in values))


def recording(frames, seed):
    rng = random.Random(seed)
    times = [i * 10 for i in range(frames)]
    body = packed(1, times)
    for x, y in GRID:
        channel = field(1, 0, varint(x)) + field(2, 0, varint(y))
        for number in (3, 4, 5):
            channel += packed(number, [rng.randrange(256) for _ in range(frames)])
        body += field(2, 2, channel)
    return body + field(3, 2, rng.randbytes(64))


# --- HTTP on loopback ---------------------------------------------------------


class Dropped(Exception):
    pass


def request(port, method, path, token=None, body=None, headers=None, source=None, timeout=15):
    """One request on a connection of its own; (status, body bytes, seconds)."""
    conn = http.client.HTTPConnection("127.0.0.1", port, timeout=timeout,
                                      source_address=(source, 0) if source else None)
    all_headers = {"Connection": "close"}
    if token:
        all_headers["Authorization"] = "Bearer " + token
    if body is not None:
        all_headers["Content-Type"] = "application/octet-stream"
    all_headers.update(headers or {})
    started = time.perf_counter()
    try:
        conn.request(method, path, body=body, headers=all_headers)
        response = conn.getresponse()
        data = response.read()
        return response.status, data, time.perf_counter() - started, response
    except (OSError, http.client.HTTPException) as error:
        raise Dropped(str(error)) from error
    finally:
        conn.close()


def free_port():
    with socket.socket() as s:
        s.bind(("127.0.0.1", 0))
        return s.getsockname()[1]


# --- The fault proxy ------------------------------------------------------------


class FaultProxy:
    """Passes one request per connection to the service; drops the answer of
    every DROP_EVERY-th write request once the service has begun to answer."""

    def __init__(self, upstream_port):
        self.upstream_port = upstream_port
        self.listener = socket.socket()
        self.listener.setsockopt(socket.SOL_SOCKET, socket.SO_REUSEADDR, 1)
        self.listener.bind(("127.0.0.1", 0))
        self.listener.listen(256)
        self.port = self.listener.getsockname()[1]
        self.lock = threading.Lock()
        self.writes = 0
        self.dropped = 0
        self.running = True
        self.thread = threading.Thread(target=self.accept, daemon=True)
        self.thread.start()

    def close(self):
        self.running = False
        self.listener.close()

    def accept(self):
        while self.running:
            try:
                client, _ = self.listener.accept()
            except OSError:
                return
            threading.Thread(target=self.serve, args=(client,), daemon=True).start()

    @staticmethod
    def read_request(client):
        data = b""
        while b"\r\n\r\n" not in data:
            chunk = client.recv(65536)
            if not chunk:
                return None
            data += chunk
            if len(data) > 1 << 20:
                return None
        head, _, rest = data.partition(b"\r\n\r\n")
        length = 0
        for line in head.split(b"\r\n")[1:]:
            name, _, value = line.partition(b":")
            if name.strip().lower() == b"content-length":
                length = int(value.strip())
        while len(rest) < length:
            chunk = client.recv(65536)
            if not chunk:
                return None
            rest += chunk
        return head + b"\r\n\r\n" + rest

    def serve(self, client):
        client.settimeout(30)
        upstream = None
        try:
            data = self.read_request(client)
            if data is None:
                return
            drop = False
            if not data.startswith(b"GET "):
                with self.lock:
                    self.writes += 1
                    drop = self.writes % DROP_EVERY == 0
            upstream = socket.create_connection(("127.0.0.1", self.upstream_port), timeout=30)
            upstream.sendall(data)
            if drop:
                # The service has the whole request; once it answers, the
                # client loses the answer with the connection.
                upstream.recv(1)
                with self.lock:
                    self.dropped += 1
                return
            for _ in range(100000):
                chunk = upstream.recv(65536)
                if not chunk:
                    break
                client.sendall(chunk)
        except OSError:
            pass
        finally:
            if upstream:
                upstream.close()
            try:
                client.shutdown(socket.SHUT_RDWR)
            except OSError:
                pass
            client.close()


# --- Stores ------------------------------------------------------------------------


class SqliteStore:
    name = "sqlite"

    def __init__(self):
        self.folder = tempfile.mkdtemp(prefix="corvex-load-")
        self.location = os.path.join(self.folder, "service.sqlite")

    def rows(self):
        db = sqlite3.connect(self.location)
        try:
            integrity = [r[0] for r in db.execute("PRAGMA integrity_check")]
            foreign = list(db.execute("PRAGMA foreign_key_check"))
            shows = list(db.execute("SELECT author_id, id, tmdb_id FROM lightshows"))
            keys = list(db.execute("SELECT account_id, lightshow_id FROM upload_keys"))
        finally:
            db.close()
        problems = []
        if integrity != ["ok"]:
            problems.append("integrity_check: " + "; ".join(integrity[:5]))
        if foreign:
            problems.append(f"{len(foreign)} rows break a foreign key")
        return shows, keys, problems, "PRAGMA integrity_check ok" if not problems else "integrity problems"

    def drop(self):
        shutil.rmtree(self.folder, ignore_errors=True)


def pg_tool(name):
    """A PostgreSQL program: on the PATH, or the newest server version's."""
    found = shutil.which(name)
    if found:
        return found
    versions = sorted((d for d in os.listdir("/usr/lib/postgresql") if d.isdigit()), key=int) \
        if os.path.isdir("/usr/lib/postgresql") else []
    for version in reversed(versions):
        path = f"/usr/lib/postgresql/{version}/bin/{name}"
        if os.access(path, os.X_OK):
            return path
    raise RuntimeError(f"{name} is not installed (apt-get install postgresql)")


class PostgresStore:
    name = "postgresql"

    def __init__(self, server_url):
        self.server = urllib.parse.urlsplit(server_url)
        self.database = f"corvex_load_{os.getpid()}_{uuid.uuid4().hex[:8]}"
        self.env = dict(os.environ, PGPASSWORD=urllib.parse.unquote(self.server.password or ""))
        self.psql("postgres", f"CREATE DATABASE {self.database}")
        netloc = self.server.netloc
        self.location = urllib.parse.urlunsplit((self.server.scheme, netloc, "/" + self.database, "", ""))

    def connection(self, database):
        user = urllib.parse.unquote(self.server.username or "")
        return ["-h", self.server.hostname, "-p", str(self.server.port or 5432), "-U", user, "-d", database]

    def psql(self, database, statement):
        result = subprocess.run(["psql", "-X", "-q", "-At", "-F", "\t", "-v", "ON_ERROR_STOP=1"]
                                + self.connection(database) + ["-c", statement],
                                env=self.env, capture_output=True, text=True, timeout=120, check=False)
        if result.returncode != 0:
            raise RuntimeError(f"psql: {result.stderr.strip()}")
        return [line.split("\t") for line in result.stdout.splitlines() if line]

    def rows(self):
        problems = []
        amcheck = subprocess.run([pg_tool("pg_amcheck"), "--install-missing", "--heapallindexed", "--parent-check"]
                                 + self.connection(self.database),
                                 env=self.env, capture_output=True, text=True, timeout=300, check=False)
        if amcheck.returncode != 0:
            problems.append("pg_amcheck: " + (amcheck.stdout + amcheck.stderr).strip()[:300])
        orphans = self.psql(self.database,
                            "SELECT count(*) FROM lightshows s LEFT JOIN accounts a ON a.id = s.author_id "
                            "WHERE a.id IS NULL")
        if orphans[0][0] != "0":
            problems.append(f"{orphans[0][0]} shows without their account")
        shows = [(a, i, int(t)) for a, i, t in self.psql(self.database,
                                                         "SELECT author_id, id, tmdb_id FROM lightshows")]
        keys = [tuple(r) for r in self.psql(self.database, "SELECT account_id, lightshow_id FROM upload_keys")]
        return shows, keys, problems, "pg_amcheck ok, no orphans" if not problems else "consistency problems"

    def drop(self):
        try:
            self.psql("postgres", f"DROP DATABASE IF EXISTS {self.database} WITH (FORCE)")
        except RuntimeError as error:
            log(f"could not drop {self.database}: {error}")


# --- The service process ---------------------------------------------------------------


class Cluster:
    """Two replicas behind nginx (scripts/service-cluster); `kill` ends one for good."""

    script = os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))), "scripts/service-cluster")

    def __init__(self, binary, store, folder):
        self.binary = binary
        self.store = store
        self.folder = os.path.join(folder, "cluster")
        self.port = None
        self.killed = False

    def start(self):
        if self.killed:
            return  # the other replica serves on
        subprocess.run([self.script, "start", self.folder, self.binary, self.store.location], check=True,
                       stdout=subprocess.DEVNULL, timeout=120)
        with open(os.path.join(self.folder, "origin")) as origin:
            self.port = int(origin.read().strip().rsplit(":", 1)[1])

    def pids(self):
        pids = []
        for name in ("replica1", "replica2"):
            try:
                with open(os.path.join(self.folder, f"{name}.pid")) as f:
                    pids.append(int(f.read()))
            except (OSError, ValueError):
                pass
        return pids

    def kill(self):
        os.kill(self.pids()[0], signal.SIGKILL)
        self.killed = True

    def stop(self):
        subprocess.run([self.script, "stop", self.folder], check=False, stdout=subprocess.DEVNULL, timeout=120)
        self.killed = False


class Service:
    def __init__(self, binary, store, port, folder):
        self.binary = binary
        self.store = store
        self.port = port
        self.log_path = os.path.join(folder, "service.log")
        self.process = None

    def start(self):
        log_file = open(self.log_path, "ab")
        self.process = subprocess.Popen(
            [self.binary, "--listen", f"127.0.0.1:{self.port}", "--db", self.store.location],
            stdout=subprocess.PIPE, stderr=log_file)
        log_file.close()
        line = self.process.stdout.readline().decode(errors="replace")
        if "listening on" not in line:
            self.process.wait(timeout=10)
            raise RuntimeError(f"corvex-service did not start (see {self.log_path})")

    def kill(self):
        self.process.send_signal(signal.SIGKILL)
        self.process.wait(timeout=30)

    def pids(self):
        return [self.process.pid] if self.process and self.process.poll() is None else []

    def stop(self):
        if self.process and self.process.poll() is None:
            self.process.terminate()
            try:
                self.process.wait(timeout=30)
            except subprocess.TimeoutExpired:
                self.process.kill()
                self.process.wait(timeout=30)


HIDDEN = re.compile(r'<input type="hidden" name="([^"]*)" value="([^"]*)">')


def sign_in(port, email, password, action, source=None):
    """The sign-in form as a browser sends it: the page (its fields and its
    cookie) first. (status, token or None)."""
    status, page, _, response = request(port, "GET", "/auth/signin?redirectUri=corvexapp://callback",
                                        source=source)
    fields = dict(HIDDEN.findall(page.decode()))
    fields.update({"email": email, "password": password, "action": action})
    cookie = (response.getheader("Set-Cookie") or "").split(";")[0]
    status, _, _, response = request(port, "POST", "/auth/signin", body=urllib.parse.urlencode(fields).encode(),
                                     source=source, headers={"Content-Type": "application/x-www-form-urlencoded",
                                                             "Cookie": cookie})
    refresh = response.getheader("Refresh") or ""
    if status != 200 or "url=" not in refresh:
        return status, None
    callback = refresh.split("url=", 1)[1]
    return status, urllib.parse.parse_qs(urllib.parse.urlsplit(callback).query)["token"][0]


def create_account(port, email):
    status, token = sign_in(port, email, PASSWORD, "create")
    if not token:
        raise RuntimeError(f"creating an account answered {status}")
    status, data, _, _ = request(port, "GET", "/auth/account", token=token)
    if status != 200:
        raise RuntimeError(f"the account answered {status}")
    return token, json.loads(data)["id"]


# --- Phase 1: mixed load, dropped answers, one kill -9 -------------------------------


class Client(threading.Thread):
    def __init__(self, index, port, account, deadline, progress):
        super().__init__(daemon=True)
        self.index = index
        self.port = port
        self.token, self.account_id = account
        self.deadline = deadline
        self.progress = progress
        self.rng = random.Random(index)
        self.latencies = {"upload": [], "list": [], "delete": []}
        self.acknowledged = {}  # show id -> tmdb id
        self.keys = {}  # idempotency key -> show id answered
        self.deleted = set()
        self.attempt_failures = 0
        self.errors = []
        self.uploads_without_answer = []

    def attempt(self, method, path, **kwargs):
        """The request until it is answered; (status, body) or None."""
        for attempt in range(MAX_ATTEMPTS):
            if time.monotonic() > self.deadline:
                break
            try:
                status, data, seconds, _ = request(self.port, method, path, token=self.token, **kwargs)
                # A replica that went away, or one that is busy: again, as the studio does.
                if status not in (502, 503):
                    return status, data, seconds
                self.attempt_failures += 1
                time.sleep(min(0.02 * (2 ** attempt), 1.0) * self.rng.uniform(0.5, 1.0))
            except Dropped:
                self.attempt_failures += 1
                time.sleep(min(0.02 * (2 ** attempt), 1.0) * self.rng.uniform(0.5, 1.0))
        return None

    def run(self):
        for sequence in range(REQUESTS):
            roll = self.rng.random()
            if roll < 0.2 and self.acknowledged:
                kind = "delete"
            elif roll < 0.55:
                kind = "list"
            else:
                kind = "upload"
            started = time.perf_counter()
            if kind == "upload":
                tmdb = 100000 * (self.index + 1) + sequence + 1
                key = str(uuid.uuid4())
                body = recording(120, tmdb)
                answer = self.attempt("POST", f"/tvapi/lightshow/movie/{tmdb}", body=body,
                                      headers={"Idempotency-Key": key})
                if answer and answer[0] == 200:
                    show = json.loads(answer[1])["id"]
                    if key in self.keys and self.keys[key] != show:
                        self.errors.append(f"key {key} answered two shows")
                    self.keys[key] = show
                    self.acknowledged[show] = tmdb
                else:
                    self.uploads_without_answer.append(tmdb)
                    self.errors.append(f"upload: {answer[0] if answer else 'no answer'}")
            elif kind == "list":
                answer = self.attempt("GET", "/tvapi/me/lightshows?limit=1000")
                if not answer or answer[0] != 200:
                    self.errors.append(f"list: {answer[0] if answer else 'no answer'}")
            else:
                show = self.rng.choice(sorted(self.acknowledged))
                answer = self.attempt("DELETE", f"/tvapi/me/lightshows/{show}")
                # A 404 after a lost answer: the first attempt deleted it.
                if answer and answer[0] in (200, 404):
                    del self.acknowledged[show]
                    self.deleted.add(show)
                else:
                    self.errors.append(f"delete: {answer[0] if answer else 'no answer'}")
            self.latencies[kind].append(time.perf_counter() - started)
            with self.progress["lock"]:
                self.progress["done"] += 1


def percentile(values, share):
    if not values:
        return float("nan")
    ordered = sorted(values)
    return ordered[min(len(ordered) - 1, int(share * len(ordered)))]


def phase_load(service, accounts, store, deadline_seconds):
    proxy = FaultProxy(service.port)
    progress = {"lock": threading.Lock(), "done": 0}
    deadline = time.monotonic() + deadline_seconds
    clients = [Client(i, proxy.port, accounts[i % ACCOUNTS], deadline, progress) for i in range(CLIENTS)]
    started = time.perf_counter()
    for client in clients:
        client.start()
    total = CLIENTS * REQUESTS
    killed = False
    restart_seconds = 0.0
    while any(c.is_alive() for c in clients) and time.monotonic() < deadline:
        if not killed and progress["done"] >= total // 2:
            down = time.perf_counter()
            service.kill()
            service.start()
            restart_seconds = time.perf_counter() - down
            killed = True
        time.sleep(0.01)
    for client in clients:
        client.join(timeout=max(1.0, deadline - time.monotonic()))
    elapsed = time.perf_counter() - started
    proxy.close()
    service.stop()

    all_latencies = [s for c in clients for values in c.latencies.values() for s in values]
    errors = [e for c in clients for e in c.errors]
    expected = {}
    for client in clients:
        for show, tmdb in client.acknowledged.items():
            expected[show] = (client.account_id, tmdb)
    deleted = set().union(*(c.deleted for c in clients))
    shows, keys, problems, check = store.rows()
    stored = {}
    for author, show, tmdb in shows:
        stored.setdefault((author, int(tmdb)), []).append(show)
    lost = [s for s, (a, t) in expected.items() if s not in {x for v in stored.values() for x in v}]
    doubled = sum(len(v) - 1 for v in stored.values() if len(v) > 1)
    resurrected = [s for v in stored.values() for s in v if s in deleted]
    unacknowledged = [s for v in stored.values() for s in v if s not in expected and s not in deleted]
    return {
        "requests": progress["done"],
        "seconds": elapsed,
        "throughput": progress["done"] / elapsed,
        "p50_ms": percentile(all_latencies, 0.50) * 1000,
        "p99_ms": percentile(all_latencies, 0.99) * 1000,
        "upload_p99_ms": percentile([s for c in clients for s in c.latencies["upload"]], 0.99) * 1000,
        "errors": len(errors),
        "error_samples": errors[:5],
        "failed_attempts": sum(c.attempt_failures for c in clients),
        "dropped_answers": proxy.dropped,
        "restart_s": restart_seconds,
        "acknowledged": len(expected) + len(deleted),
        "deleted": len(deleted),
        "stored": len(shows),
        "lost": len(lost),
        "doubled": doubled,
        "deleted_but_stored": len(resurrected),
        "stored_unacknowledged": len(unacknowledged),
        "store_check": check,
        "store_problems": problems,
        "all_done": progress["done"] == total,
    }


# --- Phase 2: list latency while four clients guess passwords -------------------------


def list_latencies(port, token, count, pause=0.0):
    samples = []
    for _ in range(count):
        time.sleep(pause)
        status, _, seconds, _ = request(port, "GET", "/tvapi/me/lightshows?limit=100", token=token)
        if status == 200:
            samples.append(seconds)
    return samples


def phase_guessing(service, account):
    service.start()
    token = account[0]
    # Some shows to list.
    for i in range(20):
        request(service.port, "POST", f"/tvapi/lightshow/movie/{900000 + i}", token=token,
                body=recording(120, 900000 + i))
    baseline = list_latencies(service.port, token, LIST_SAMPLES)
    stop = threading.Event()
    counts = {"guesses": 0, "answers": {}}
    lock = threading.Lock()

    def guess(index):
        for n in range(1000000):
            if stop.is_set():
                return
            source = f"127.{10 + index}.{(n // 250) % 250}.{1 + n % 250}"
            try:
                status, _ = sign_in(service.port, f"guess{index}-{n}@example.org", f"wrong guess {n}", "signin",
                                    source=source)
            except Dropped:
                status = 0
            with lock:
                counts["guesses"] += 1
                counts["answers"][status] = counts["answers"].get(status, 0) + 1

    guessers = [threading.Thread(target=guess, args=(i,), daemon=True) for i in range(GUESSERS)]
    for thread in guessers:
        thread.start()
    # The samples are taken once guesses are being answered, spread out so
    # that they span many password derivations.
    for _ in range(3000):
        with lock:
            if counts["guesses"] >= GUESSERS:
                break
        time.sleep(0.01)
    under_attack = list_latencies(service.port, token, LIST_SAMPLES, pause=0.01)
    stop.set()
    for thread in guessers:
        thread.join(timeout=30)
    service.stop()
    return {
        "list_p50_ms": percentile(baseline, 0.5) * 1000,
        "list_p99_ms": percentile(baseline, 0.99) * 1000,
        "guessing_list_p50_ms": percentile(under_attack, 0.5) * 1000,
        "guessing_list_p99_ms": percentile(under_attack, 0.99) * 1000,
        "guessing_p99_ratio": percentile(under_attack, 0.99) / max(percentile(baseline, 0.99), 1e-9),
        "guesses": counts["guesses"],
        "guess_answers": counts["answers"],
    }


# --- Phase 3: slowloris and pipelining that never reads, while 20 clients list ----------


def peak_rss_mb(pids):
    peak = 0
    for pid in pids:
        try:
            with open(f"/proc/{pid}/status") as status:
                for line in status:
                    if line.startswith("VmHWM:"):
                        peak = max(peak, int(line.split()[1]) / 1024)
        except OSError:
            pass
    return peak


def phase_attack(service, accounts):
    service.start()
    port = service.port
    stop = threading.Event()
    samples = {"before": [], "during": []}
    phase = {"name": "before"}
    lock = threading.Lock()

    def lister(index):
        token = accounts[index % ACCOUNTS][0]
        source = f"127.0.{1 + index}.1"  # each client an address of its own
        while not stop.is_set():
            try:
                status, _, seconds, _ = request(port, "GET", "/tvapi/me/lightshows?limit=100", token=token,
                                                source=source)
            except Dropped:
                status, seconds = 0, 15.0
            with lock:
                samples[phase["name"]].append(seconds if status == 200 else 15.0)
            time.sleep(0.02)

    def slowloris():
        sockets = []
        while not stop.is_set():
            while len(sockets) < SLOWLORIS and not stop.is_set():
                try:
                    s = socket.create_connection(("127.0.0.1", port), timeout=2, source_address=("127.0.0.2", 0))
                    s.sendall(b"GET /auth/account HTTP/1.1\r\nHost: 127.0.0.1\r\n")
                    sockets.append(s)
                except OSError:
                    break
            for s in list(sockets):
                try:
                    s.sendall(b"X-Slow: 1\r\n")
                except OSError:
                    sockets.remove(s)
                    s.close()
            stop.wait(2)
        for s in sockets:
            s.close()

    def pipeliner():
        token = accounts[0][0]
        one = (f"GET /tvapi/me/lightshows?limit=1000 HTTP/1.1\r\nHost: 127.0.0.1\r\n"
               f"Authorization: Bearer {token}\r\n\r\n").encode()
        try:
            s = socket.create_connection(("127.0.0.1", port), timeout=5, source_address=("127.0.0.3", 0))
            s.setblocking(False)
            data, sent = one * PIPELINED, 0
            while not stop.is_set():
                try:
                    sent += s.send(data[sent:]) if sent < len(data) else 0
                except (BlockingIOError, OSError):
                    pass
                stop.wait(0.2)
            s.close()
        except OSError:
            pass

    listers = [threading.Thread(target=lister, args=(i,), daemon=True) for i in range(CLIENTS)]
    for thread in listers:
        thread.start()
    time.sleep(ATTACK_SECONDS / 2)
    with lock:
        phase["name"] = "during"
    attackers = [threading.Thread(target=slowloris, daemon=True)]
    attackers += [threading.Thread(target=pipeliner, daemon=True) for _ in range(PIPELINERS)]
    for thread in attackers:
        thread.start()
    time.sleep(ATTACK_SECONDS)
    peak = peak_rss_mb(service.pids())
    stop.set()
    for thread in listers + attackers:
        thread.join(timeout=30)
    service.stop()
    before, during = samples["before"], samples["during"]
    return {
        "attack_list_p99_before_ms": percentile(before, 0.99) * 1000,
        "attack_list_p99_during_ms": percentile(during, 0.99) * 1000,
        "attack_p99_ratio": percentile(during, 0.99) / max(percentile(before, 0.99), 1e-9),
        "attack_failed_lists": sum(1 for s in during if s >= 15.0),
        "peak_rss_mb": peak,
    }


def one_run(kind, args, number):
    store = SqliteStore() if kind == "sqlite" else PostgresStore(args.postgres_url)
    folder = tempfile.mkdtemp(prefix="corvex-load-log-")
    try:
        if kind == "proxied":
            service = Cluster(args.service, store, folder)
        else:
            service = Service(args.service, store, free_port(), folder)
        service.start()
        accounts = [create_account(service.port, f"author{i}@example.org") for i in range(ACCOUNTS)]
        result = phase_load(service, accounts, store, args.deadline)
        result.update(phase_guessing(service, accounts[0]))
        result.update(phase_attack(service, accounts))
        return result
    finally:
        store.drop()
        shutil.rmtree(folder, ignore_errors=True)


SUMMARY = [("throughput", "requests/s", "{:.1f}"), ("p50_ms", "ms p50", "{:.1f}"), ("p99_ms", "ms p99", "{:.1f}"),
           ("errors", "errors", "{:.0f}"), ("failed_attempts", "failed attempts (retried)", "{:.0f}"),
           ("dropped_answers", "answers dropped by the proxy", "{:.0f}"), ("restart_s", "s restart", "{:.2f}"),
           ("lost", "lost", "{:.0f}"), ("doubled", "doubled", "{:.0f}"),
           ("deleted_but_stored", "deleted but stored", "{:.0f}"),
           ("stored_unacknowledged", "stored unacknowledged", "{:.0f}"),
           ("list_p99_ms", "ms list p99 alone", "{:.2f}"),
           ("guessing_list_p99_ms", "ms list p99 while guessing", "{:.2f}"),
           ("guessing_p99_ratio", "x list p99 guessing/alone", "{:.2f}"),
           ("guesses", "password guesses", "{:.0f}"),
           ("attack_list_p99_before_ms", "ms list p99 before the attack", "{:.1f}"),
           ("attack_list_p99_during_ms", "ms list p99 during the attack", "{:.1f}"),
           ("attack_p99_ratio", "x list p99 during/before", "{:.2f}"),
           ("attack_failed_lists", "lists failed during the attack", "{:.0f}"),
           ("peak_rss_mb", "MB peak RSS in the attack", "{:.0f}")]


def main():
    parser = argparse.ArgumentParser(description=__doc__, formatter_class=argparse.RawDescriptionHelpFormatter)
    root = os.path.dirname(os.path.dirname(os.path.abspath(__file__)))
    parser.add_argument("--db", choices=["sqlite", "postgresql", "proxied", "all"], default="all")
    parser.add_argument("--runs", type=int, default=3)
    parser.add_argument("--service", default=os.path.join(root, "build/opt/tools/corvex-service/corvex-service"))
    parser.add_argument("--postgres-url", default=os.environ.get("CORVEX_TEST_POSTGRES_URL", ""))
    parser.add_argument("--deadline", type=float, default=900.0, help="seconds a load phase may take")
    args = parser.parse_args()
    if not os.access(args.service, os.X_OK):
        sys.exit(f"service_load: no corvex-service at {args.service}; build it or pass --service")
    kinds = ["sqlite", "postgresql", "proxied"] if args.db == "all" else [args.db]
    if any(kind != "sqlite" for kind in kinds) and not args.postgres_url:
        sys.exit("service_load: PostgreSQL needs --postgres-url or CORVEX_TEST_POSTGRES_URL "
                 "(scripts/test-services start DIR; scripts/test-services env DIR)")
    failed = False
    for kind in kinds:
        results = []
        for number in range(1, max(1, min(args.runs, 20)) + 1):
            result = one_run(kind, args, number)
            results.append(result)
            log(f"{kind} run {number}: " + ", ".join(
                f"{fmt.format(result[key])} {label}" for key, label, fmt in SUMMARY))
            if result["error_samples"]:
                log(f"  first errors: {result['error_samples']}")
            log(f"  store: {result['store_check']} {result['store_problems'] or ''}; "
                f"{result['acknowledged']} acknowledged uploads, {result['deleted']} deleted, "
                f"{result['stored']} stored; guess answers {result['guess_answers']}")
        log(f"== {kind}, {len(results)} runs, min / median / max")
        for key, label, fmt in SUMMARY:
            values = [r[key] for r in results]
            log(f"  {label:32} {fmt.format(min(values))} / {fmt.format(statistics.median(values))} / "
                f"{fmt.format(max(values))}")
        ok = all(r["lost"] == 0 and r["doubled"] == 0 and r["deleted_but_stored"] == 0 and not r["store_problems"]
                 and r["all_done"] for r in results)
        fast = all(r["guessing_list_p99_ms"] < 50 for r in results)
        held = all(r["peak_rss_mb"] < 200 and r["attack_p99_ratio"] <= 3 for r in results)
        log(f"  goal 0 lost, 0 doubled, store consistent: {'met' if ok else 'NOT MET'}; "
            f"list p99 < 50 ms while guessing: {'met' if fast else 'NOT MET'}; "
            f"under attack peak RSS < 200 MB and list p99 within 3 x: {'met' if held else 'NOT MET'}")
        log(f"  load average {' '.join(f'{x:.2f}' for x in os.getloadavg())}")
        failed = failed or not ok or not fast or not held
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
