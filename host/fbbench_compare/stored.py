"""What the command does with a store: adds files to it, takes the
sessions the filters choose out of it, and exports one session's file."""

import sqlite3

from .columns import make_columns, window_text
from .load import BadInput, files_checked
from .store import select_devices, session_add, session_bytes, sessions_read, store_error, store_open
from .text import clean


def store_add(path, files, validator, timeout, say, warn):
    """Adds each file in a transaction of its own: one that fails the
    schema is refused with its reason and the rest are still added. The
    exit status: 0, or 2 when a file was refused or conflicted."""
    status = 0
    db = store_open(path, True, timeout)
    try:
        for name, data, raw, refusal in files_checked(files, validator):
            if refusal is not None:
                warn(f"{refusal}: refused")
                status = 2
                continue
            try:
                what, session = session_add(db, name, raw, data)
            except sqlite3.Error as e:
                raise store_error(path, e) from None
            if what == "added":
                say(f"{clean(name)}: added as session {session}")
            elif what == "skipped":
                warn(f"{name}: already in the store as session {session}, skipped")
            else:
                warn(f"{name}: conflicts with session {session} (same host and start, other content): refused")
                status = 2
    finally:
        db.close()
    return status


def store_columns(path, conditions, labels, timeout):
    """The columns of the sessions and devices the conditions choose, and
    the files they come from, oldest first."""
    db = store_open(path, False, timeout)
    try:
        pairs = select_devices(db, conditions)
        if not pairs:
            raise BadInput(f"{path}: no session matches" + (f" {' '.join(conditions)}" if conditions else ""))
        found = sessions_read(db, path, pairs)
    except sqlite3.Error as e:
        raise store_error(path, e) from None
    finally:
        db.close()
    files = [(name, data) for name, data, _ in found]
    if labels is not None and len(labels) != len(files):
        raise BadInput(f"{len(labels)} --label for {len(files)} sessions")
    wanted = {(name, device) for name, _, devices in found for device in devices}
    columns = [c for c in make_columns(files, labels) if (c["path"], c["device"]) in wanted]
    return files, columns


def store_earlier(path, columns, timeout):
    """Columns of the session before each column's on its host and device,
    of its window and depth, where the store holds one that the columns do
    not."""
    db = store_open(path, False, timeout)
    try:
        given = {c["path"] for c in columns}
        pairs = []
        for column in columns:
            found = db.execute(
                "SELECT s.id FROM sessions s JOIN devices d ON d.session = s.id WHERE s.host = ? AND d.path = ? "
                "AND s.started < ? AND d.depth IS ? AND d.window = ? ORDER BY s.started DESC LIMIT 1",
                (column["data"].get("host", ""), column["device"], column["data"]["started"],
                 column["workload"]["depth"], window_text(column["window"]))).fetchone()
            if found and f"{path}#{found[0]}" not in given:
                pairs.append((found[0], column["device"]))
        found = sessions_read(db, path, pairs)
    except sqlite3.Error as e:
        raise store_error(path, e) from None
    finally:
        db.close()
    wanted = {(name, device) for name, _, devices in found for device in devices}
    return [c for c in make_columns([(name, data) for name, data, _ in found], None)
            if (c["path"], c["device"]) in wanted]


def store_export(path, session, timeout):
    """The bytes of a session's results file, as they were added."""
    try:
        number = int(session)
    except ValueError:
        raise BadInput(f"--export-session {clean(session)}: not a session number") from None
    db = store_open(path, False, timeout)
    try:
        raw = session_bytes(db, number)
    except sqlite3.Error as e:
        raise store_error(path, e) from None
    finally:
        db.close()
    if raw is None:
        raise BadInput(f"{path}: no session {number}")
    return raw

