"""The results store: one SQLite file of sessions, their devices, runs and
values, each session's results file kept whole (compressed) beside them."""

import hashlib
import json
import os
import sqlite3
import stat
import urllib.parse
import zlib

from .columns import depth_of, window_of, window_text
from .load import BadInput, CannotWrite
from .tables import driver_of

# "fbbs": what marks an SQLite file as a store of ours.
APPLICATION_ID = 0x66626273
SCHEMA_VERSION = 1
# Each step takes a store of the version before it to its own; the step
# from version N is MIGRATIONS[N]. There are none yet.
MIGRATIONS = {}
BUSY_SECONDS = 10.0

SCHEMA = """
CREATE TABLE sessions (
  id INTEGER PRIMARY KEY,
  hash TEXT NOT NULL UNIQUE,          -- SHA-256 of the results file's bytes
  host TEXT NOT NULL,
  board TEXT NOT NULL,                -- the board's model, else its host
  kernel TEXT NOT NULL,
  started TEXT NOT NULL,              -- as fbbench wrote it: ISO 8601 in UTC
  quick INTEGER NOT NULL,
  schema TEXT NOT NULL,
  fbbench_version TEXT NOT NULL,
  file BLOB NOT NULL                  -- the results file, zlib-compressed
);
CREATE TABLE devices (
  id INTEGER PRIMARY KEY,
  session INTEGER NOT NULL REFERENCES sessions(id),
  path TEXT NOT NULL,
  kind TEXT NOT NULL,
  driver TEXT NOT NULL,
  mapping TEXT NOT NULL,
  depth INTEGER,
  window TEXT NOT NULL
);
CREATE TABLE runs (
  id INTEGER PRIMARY KEY,
  session INTEGER NOT NULL REFERENCES sessions(id),
  path TEXT NOT NULL,
  program TEXT NOT NULL,
  target TEXT NOT NULL,
  warmup INTEGER NOT NULL,
  valid INTEGER NOT NULL
);
CREATE TABLE run_values (
  run INTEGER NOT NULL REFERENCES runs(id),
  metric TEXT NOT NULL,
  value REAL
);
CREATE INDEX sessions_board ON sessions(board, started);
CREATE INDEX sessions_host ON sessions(host, started);
CREATE INDEX sessions_started ON sessions(started);
CREATE INDEX devices_session ON devices(session, path);
CREATE INDEX devices_driver ON devices(driver);
CREATE INDEX runs_session ON runs(session, program);
CREATE INDEX run_values_run ON run_values(run, metric);
CREATE INDEX run_values_metric ON run_values(metric);
"""

# --where KEY=VALUE: what each key matches.
WHERE_KEYS = ("board", "host", "device", "driver", "kernel", "since", "until")


def store_error(path, error):
    """One line for what SQLite said."""
    text = str(error)
    if "locked" in text or "busy" in text:
        return CannotWrite(f"{path}: busy: another process is writing the store; gave up after the timeout")
    if "readonly" in text or "read-only" in text:
        return CannotWrite(f"{path}: read-only: cannot write the store")
    if "disk is full" in text or "disk I/O" in text:
        return CannotWrite(f"{path}: cannot write the store ({text}); it is left as it was")
    if "not a database" in text or "malformed" in text:
        return BadInput(f"{path}: not an SQLite database")
    return CannotWrite(f"{path}: {text}")


def store_open(path, writing, timeout=BUSY_SECONDS):
    """The store at path, made when writing and it does not exist yet; one
    of another schema version is refused (newer) or migrated (older)."""
    try:
        link = os.lstat(path)
        # A link planted by another user would lead the writes elsewhere.
        if stat.S_ISLNK(link.st_mode) and link.st_uid != os.geteuid():
            raise BadInput(f"{path}: a link of another user, not followed")
        st = os.stat(path)
        if not stat.S_ISREG(st.st_mode):
            raise BadInput(f"{path}: not a regular file")
    except FileNotFoundError:
        if not writing:
            raise BadInput(f"{path}: no such store") from None
    except OSError as e:
        raise BadInput(f"{path}: cannot read: {e.strerror}") from None
    address = "file:" + urllib.parse.quote(os.path.abspath(path))
    modes = ["?mode=rwc"] if writing else ["?mode=ro"]
    # A reader who may not write beside a store in WAL mode cannot make its
    # shared-memory file: it reads the file as it stands.
    if not writing and not (os.access(path, os.W_OK) and os.access(os.path.dirname(os.path.abspath(path)), os.W_OK)):
        modes.append("?immutable=1")
    for mode in modes:
        try:
            db = sqlite3.connect(address + mode, timeout=timeout, uri=True, isolation_level=None)
        except sqlite3.Error as e:
            raise store_error(path, e) from None
        try:
            schema_check(db, path, writing)
            return db
        except sqlite3.Error as e:
            db.close()
            if mode == modes[-1]:
                raise store_error(path, e) from None
        except BaseException:
            db.close()
            raise


def schema_check(db, path, writing):
    application, version = db.execute("PRAGMA application_id").fetchone()[0], \
        db.execute("PRAGMA user_version").fetchone()[0]
    tables = db.execute("SELECT count(*) FROM sqlite_master").fetchone()[0]
    if application == 0 and tables == 0:
        if not writing:
            raise BadInput(f"{path}: an empty store")
        try:
            db.execute("PRAGMA journal_mode=WAL")
            # One script, one transaction: executescript commits what came before it.
            db.executescript("BEGIN IMMEDIATE;" + SCHEMA + f"PRAGMA application_id={APPLICATION_ID}; "
                             f"PRAGMA user_version={SCHEMA_VERSION}; COMMIT;")
        except sqlite3.Error as e:
            if db.in_transaction:
                db.rollback()
            raise store_error(path, e) from None
        return
    if application != APPLICATION_ID:
        raise BadInput(f"{path}: an SQLite database, but not an fbbench store")
    if version > SCHEMA_VERSION:
        raise BadInput(f"{path}: a store of schema {version}, newer than this fbbench-compare's "
                       f"{SCHEMA_VERSION}: use a newer one")
    if version < SCHEMA_VERSION:
        if not writing:
            raise BadInput(f"{path}: a store of schema {version}: add a file to it once to bring it to "
                           f"{SCHEMA_VERSION}")
        migrate(db, path, version)
    db.execute("PRAGMA synchronous=NORMAL")


def migrate(db, path, version):
    """The store brought to SCHEMA_VERSION in one transaction: all the steps, or none."""
    try:
        db.execute("BEGIN IMMEDIATE")
        for step in range(version, SCHEMA_VERSION):
            if step not in MIGRATIONS:
                raise BadInput(f"{path}: a store of schema {version}, which this fbbench-compare cannot bring "
                               f"to {SCHEMA_VERSION}")
            for statement in MIGRATIONS[step]:
                db.execute(statement)
        db.execute(f"PRAGMA user_version={SCHEMA_VERSION}")
        db.execute("COMMIT")
    except sqlite3.Error as e:
        db.rollback()
        raise store_error(path, e) from None
    except BaseException:
        if db.in_transaction:
            db.rollback()
        raise


def session_facts(data):
    system = data["system"]
    board = system.get("board_model", "").strip("\0 ") or data.get("host", "")
    return {"host": data.get("host", ""), "board": board,
            "kernel": system.get("kernel", {}).get("release", ""), "started": data["started"],
            "quick": int(data["options"].get("quick") is True), "schema": data["schema"],
            "fbbench_version": data.get("fbbench_version", "")}


def session_add(db, path, raw, data):
    """Adds one session in its own transaction: ("added", id), ("skipped",
    id) for the same bytes already there, or ("conflict", id) for another
    file of the same host, device and start time."""
    digest = hashlib.sha256(raw).hexdigest()
    facts = session_facts(data)
    db.execute("BEGIN IMMEDIATE")
    try:
        found = db.execute("SELECT id FROM sessions WHERE hash = ?", (digest,)).fetchone()
        if found:
            db.execute("ROLLBACK")
            return "skipped", found[0]
        same = db.execute("SELECT id FROM sessions WHERE host = ? AND started = ? AND board = ?",
                          (facts["host"], facts["started"], facts["board"])).fetchone()
        if same:
            db.execute("ROLLBACK")
            return "conflict", same[0]
        cursor = db.execute(
            "INSERT INTO sessions (hash, host, board, kernel, started, quick, schema, fbbench_version, file) "
            "VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?)",
            (digest, facts["host"], facts["board"], facts["kernel"], facts["started"], facts["quick"],
             facts["schema"], facts["fbbench_version"], zlib.compress(raw, 1)))
        session = cursor.lastrowid
        db.executemany(
            "INSERT INTO devices (session, path, kind, driver, mapping, depth, window) VALUES (?, ?, ?, ?, ?, ?, ?)",
            [(session, d["path"], d.get("kind", ""), driver_of(d), d.get("mapping", {}).get("class", ""),
              depth_of(d), window_text(window_of(d))) for d in data["devices"]])
        # The runs numbered here, inside the transaction that holds the
        # store: two statements a session, however many runs it has.
        first = db.execute("SELECT coalesce(max(id), 0) + 1 FROM runs").fetchone()[0]
        db.executemany(
            "INSERT INTO runs (id, session, path, program, target, warmup, valid) VALUES (?, ?, ?, ?, ?, ?, ?)",
            [(first + n, session, run["path"], run["program"], run["target"], int(run.get("warmup", False)),
              int(run["valid"])) for n, run in enumerate(data["runs"])])
        db.executemany("INSERT INTO run_values (run, metric, value) VALUES (?, ?, ?)",
                       [(first + n, metric, value) for n, run in enumerate(data["runs"])
                        for metric, value in (run.get("values") or {}).items()])
        db.execute("COMMIT")
        return "added", session
    except BaseException:
        if db.in_transaction:
            db.execute("ROLLBACK")
        raise


def where_parse(conditions):
    """--where conditions as {key: [values]} and whether latest is asked."""
    found, latest = {}, False
    for condition in conditions or []:
        if condition == "latest":
            latest = True
            continue
        key, equals, value = condition.partition("=")
        if not equals or key not in WHERE_KEYS:
            raise BadInput(f"--where {condition}: want latest or KEY=VALUE, KEY one of {', '.join(WHERE_KEYS)}")
        found.setdefault(key, []).append(value)
    return found, latest


def select_devices(db, conditions):
    """The (session id, device path) pairs the conditions choose, oldest
    first: each key's values are alternatives, the keys all hold."""
    where, latest = where_parse(conditions)
    clauses, values = [], []
    for key, options in where.items():
        if key in ("since", "until"):
            for option in options:
                clauses.append("s.started >= ?" if key == "since" else "s.started < ?")
                values.append(option)
            continue
        column = {"board": None, "host": "s.host", "device": "d.path", "driver": "d.driver",
                  "kernel": "s.kernel"}[key]
        if column is None:
            clauses.append("(" + " OR ".join("s.board = ? OR s.host = ?" for _ in options) + ")")
            values += [v for option in options for v in (option, option)]
        else:
            clauses.append(f"{column} IN ({', '.join('?' * len(options))})")
            values += options
    chosen = ("SELECT s.id AS session, d.path AS device, s.started AS started, d.id AS entry, "
              "row_number() OVER (PARTITION BY s.host, d.path ORDER BY s.started DESC, s.id DESC) AS newest "
              "FROM sessions s JOIN devices d ON d.session = s.id"
              + (" WHERE " + " AND ".join(clauses) if clauses else ""))
    query = (f"SELECT session, device FROM ({chosen})" + (" WHERE newest = 1" if latest else "")
             + " ORDER BY started, session, entry")
    return db.execute(query, values).fetchall()


def session_bytes(db, session):
    found = db.execute("SELECT file FROM sessions WHERE id = ?", (session,)).fetchone()
    return zlib.decompress(found[0]) if found else None


def sessions_read(db, path, pairs):
    """[(name, data, devices)] for the chosen pairs, one entry a session."""
    chosen = {}
    for session, device in pairs:
        chosen.setdefault(session, []).append(device)
    found = []
    for session, devices in chosen.items():
        raw = session_bytes(db, session)
        found.append((f"{path}#{session}", json.loads(raw), devices))
    return found
