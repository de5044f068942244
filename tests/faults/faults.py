"""Fault runs of the built service: kills, signals, a vanished or truncated
database, an unwritable directory, a held write lock, a full file system. Each
case checks that nothing stored is lost or corrupted, that a pass is stored
whole or not at all, and that storing resumes once the fault is gone.

  python3 tests/faults/faults.py          every case (make faults)
  python3 tests/faults/faults.py --quick  the short cases, fewer repetitions
"""

import errno
import os
import random
import signal
import sqlite3
import subprocess
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), "..", "e2e"))
import twrun  # noqa: E402

# Two series of the CPU, memory and network collection that hold a value in
# every pass (no rate): a pass stored by halves shows as a timestamp in one
# table and not in the other.
PAIR = ("sm_stat_mem_total", "sm_stat_mem_util")


def conf(d, ttl=3600):
    t = ("\n    <persistence><engine>sqlite</engine><locator>%s/db/tw.db</locator>"
         "<statTtlSec>%d</statTtlSec></persistence>\n"
         "    <cpuMemNetSamplingPeriodSec>1</cpuMemNetSamplingPeriodSec>\n"
         "    <storageSizeSamplingPeriodSec>1</storageSizeSamplingPeriodSec>\n"
         "    <health_status_file>%s/health/health.xml</health_status_file>\n"
         "    <storageSizeProvider><filesystems><root><path>/</path><name>root</name></root></filesystems>\n"
         "      <dirs><t><path>%s/health</path><name>t</name></t></dirs></storageSizeProvider>\n  "
         % (d.path, ttl, d.path, d.path))
    for sub in ("db", "health", "log"):
        os.makedirs(d.file(sub), exist_ok=True)
        os.chmod(d.file(sub), 0o777)
    return d.write("tw.xml", twrun.config(d.path, t))


def start(path, prefix=()):
    return subprocess.Popen(list(prefix) + [twrun.BIN, path], stdout=subprocess.DEVNULL,
                            stderr=subprocess.DEVNULL)


def rows(db, table):
    try:
        c = sqlite3.connect("file:%s?mode=ro" % db, uri=True, timeout=10)
        try:
            return set(c.execute("SELECT sm_timestamp, sm_stat_value FROM %s" % table).fetchall())
        finally:
            c.close()
    except sqlite3.OperationalError:
        return set()


def integrity(db):
    c = sqlite3.connect(db, timeout=10)
    try:
        return [r[0] for r in c.execute("PRAGMA integrity_check;")]
    finally:
        c.close()


def check_whole(db, what):
    a, b = (set(t for t, _ in rows(db, tb)) for tb in PAIR)
    if a != b:
        raise AssertionError("%s: pass stored by halves: %s only in one of %s" % (what, sorted(a ^ b), PAIR))


def stop(p):
    p.send_signal(signal.SIGTERM)
    status = p.wait(timeout=twrun.GUARD_SECONDS)
    if status != 0:
        raise AssertionError("exit status %d after SIGTERM" % status)


def log_text(d):
    out = []
    for name in sorted(os.listdir(d.file("log"))):
        with open(os.path.join(d.file("log"), name), errors="replace") as f:
            out.append(f.read())
    return "".join(out)


def wait_rows(db, more_than, what):
    twrun.wait_for(lambda: len(rows(db, PAIR[0])) > more_than, what)


def case_kill9(kills):
    with twrun.TempDir() as d:
        path, db = conf(d), d.file("db/tw.db")
        before = set()
        for i in range(kills):
            p = start(path)
            wait_rows(db, len(before), "a pass before kill %d" % i)
            time.sleep(random.uniform(0, 1.5))  # a random moment: between or inside passes
            p.kill()
            p.wait()
            if integrity(db) != ["ok"]:
                raise AssertionError("kill %d: integrity_check %s" % (i, integrity(db)))
            check_whole(db, "kill %d" % i)
            now = rows(db, PAIR[0])
            if not before <= now:
                raise AssertionError("kill %d: rows lost: %s" % (i, sorted(before - now)))
            before = now
        return "%d kills, %d passes kept" % (kills, len(before))


def case_sigterm(times):
    with twrun.TempDir() as d:
        path, db = conf(d), d.file("db/tw.db")
        for i in range(times):
            p = start(path)
            wait_rows(db, i, "a pass before SIGTERM %d" % i)
            time.sleep(random.uniform(0, 1.0))
            stop(p)
            check_whole(db, "SIGTERM %d" % i)
        return "%d stops" % times


def delete_files(db):
    for suffix in ("", "-wal", "-shm"):
        if os.path.exists(db + suffix):
            os.remove(db + suffix)


def truncate_file(db):
    c = sqlite3.connect(db, timeout=10)
    c.execute("PRAGMA wal_checkpoint(TRUNCATE);")  # most pages in the file, as after a while
    c.close()
    os.truncate(db, 0)


def case_damaged(damage, reason, error=None):
    """damage(db) while the service runs: it reopens, logging reason (and the
    error line), and stores whole passes into a sound file again."""
    with twrun.TempDir() as d:
        path, db = conf(d), d.file("db/tw.db")
        p = start(path)
        try:
            wait_rows(db, 1, "first passes")
            damage(db)
            twrun.wait_for(lambda: "Reopening database %s: %s" % (db, reason) in log_text(d), "the reopen")
            twrun.wait_for(lambda: len(rows(db, PAIR[0])) >= 2, "passes stored in the new file")
            if error and error % db not in log_text(d):
                raise AssertionError("no line %r in the log" % (error % db))
            if integrity(db) != ["ok"]:
                raise AssertionError("integrity_check %s" % integrity(db))
            check_whole(db, "after the damage")
        finally:
            stop(p)
        return "recovered"


def health(d):
    with open(d.file("health/health.xml")) as f:
        return f.read().split("<status>")[1].split("<")[0]


def read_only_copy(db, copy):
    """A copy of db in write-ahead-log mode, as the service leaves its files,
    owned by root and only readable for the service."""
    c = sqlite3.connect(db, timeout=10)
    c.execute("VACUUM INTO '%s';" % copy)
    c.close()
    c = sqlite3.connect(copy)
    c.execute("PRAGMA journal_mode=wal;")
    c.close()
    os.chmod(copy, 0o644)


def case_unwritable():
    if os.geteuid() != 0:
        return "SKIP: needs root to run the service as nobody"
    with twrun.TempDir() as d:
        path, db = conf(d), d.file("db/tw.db")
        p = start(path, twrun.unprivileged())
        try:
            wait_rows(db, 1, "first passes")
            # SQLite opens a file it may not write for reading only, without an
            # error: the reopen must fail, and the health file say so at once.
            read_only_copy(db, db + ".copy")
            os.rename(db + ".copy", db)
            twrun.wait_for(lambda: health(d) == "RED", "RED after the reopen into a read-only file")
            os.remove(db)
            twrun.wait_for(lambda: health(d) == "GREEN", "GREEN once the file can be written")
            os.chmod(d.file("db"), 0o555)
            for suffix in ("", "-wal", "-shm"):
                if os.path.exists(db + suffix):
                    os.remove(db + suffix)
            twrun.wait_for(lambda: "SQLite database open failed for %s" % db in log_text(d),
                           "the failed reopen in the unwritable directory")
            os.chmod(d.file("db"), 0o777)
            twrun.wait_for(lambda: len(rows(db, PAIR[0])) >= 2, "storing after the directory is writable again")
            check_whole(db, "after the unwritable directory")
            if integrity(db) != ["ok"]:
                raise AssertionError("integrity_check %s" % integrity(db))
        finally:
            os.chmod(d.file("db"), 0o777)
            stop(p)
        # The service's own file, made read-only between two runs.
        os.chmod(db, 0o444)
        status = subprocess.call(twrun.unprivileged() + [twrun.BIN, path], stdout=subprocess.DEVNULL,
                                 stderr=subprocess.DEVNULL, timeout=twrun.GUARD_SECONDS)
        line = "Unable to open and initialize storage engine: database %s can only be opened for reading" % db
        if status != 1 or line not in log_text(d) or health(d) != "RED":
            raise AssertionError("read-only file at start: exit status %d, health %s" % (status, health(d)))
        return "recovered, refused a read-only file"


def case_lock(seconds):
    with twrun.TempDir() as d:
        path, db = conf(d), d.file("db/tw.db")
        p = start(path)
        try:
            wait_rows(db, 1, "first passes")
            holder = sqlite3.connect(db, timeout=10, isolation_level=None)
            holder.execute("BEGIN IMMEDIATE;")
            held = rows(db, PAIR[0])
            time.sleep(seconds)
            holder.execute("ROLLBACK;")
            holder.close()
            twrun.wait_for(lambda: len(rows(db, PAIR[0])) > len(held) + 1, "storing after the lock")
            if "Unable to drain stats" not in log_text(d):
                raise AssertionError("no error line while the database was locked")
            check_whole(db, "after the lock")
            if integrity(db) != ["ok"]:
                raise AssertionError("integrity_check %s" % integrity(db))
        finally:
            stop(p)
        return "recovered"


def case_health_dir():
    with twrun.TempDir() as d:
        path, db = conf(d), d.file("db/tw.db")
        os.rmdir(d.file("health"))
        p = start(path)
        try:
            twrun.wait_for(lambda: "Status file %s/health/health.xml.tmp write failed" % d.path in log_text(d),
                           "the health write-failed line")
            wait_rows(db, 2, "sampling without a health directory")
        finally:
            stop(p)
        return "sampling went on"


def fill(path):
    """Writes zeros to path until the file system is full."""
    fd = os.open(path, os.O_WRONLY | os.O_CREAT, 0o644)
    try:
        for size in (1 << 20, 4096, 1):
            while True:
                try:
                    os.write(fd, bytes(size))
                except OSError as e:
                    if e.errno != errno.ENOSPC:
                        raise
                    break
    finally:
        os.close(fd)


def drain_failures(d):
    return log_text(d).count("Unable to drain stats: database or disk is full")


def case_full():
    """Runs case_full_inside in a mount namespace of its own, so that its tmpfs
    is seen by this case alone and goes away with it."""
    if os.geteuid() != 0:
        return "SKIP: needs root to mount a tmpfs"
    p = subprocess.run(["unshare", "-m", "--propagation", "private", sys.executable, os.path.abspath(__file__),
                        "--full-inside"], capture_output=True, text=True, timeout=4 * twrun.GUARD_SECONDS)
    lines = p.stdout.strip().splitlines()
    if p.returncode == 0 and lines:
        return lines[-1]
    if p.stderr.startswith("unshare:"):
        return "SKIP: no mount namespace: " + p.stderr.strip()
    raise AssertionError((lines[-1:] or [p.stderr.strip()])[0])


def case_full_inside():
    """The database directory on a small tmpfs, filled while the service
    samples, then freed. The health file is not checked: it is rewritten only
    every 300 s."""
    with twrun.TempDir() as d:
        path, db = conf(d), d.file("db/tw.db")
        mount = subprocess.run(["mount", "-t", "tmpfs", "-o", "size=16m", "tmpfs", d.file("db")],
                               capture_output=True, text=True)
        if mount.returncode != 0:
            return "SKIP: no tmpfs: " + mount.stderr.strip()
        try:
            p = start(path)
            try:
                # Twice: the second time the write-ahead log has grown and
                # passes stored since the first fault must survive as well.
                for fault in range(2):
                    wait_rows(db, 2 + 5 * fault, "passes before the file system is full")
                    before = {tb: rows(db, tb) for tb in PAIR}
                    failed = drain_failures(d)
                    fill(d.file("db/filler"))
                    twrun.wait_for(lambda: p.poll() is not None or drain_failures(d) >= failed + 6,
                                   "passes failing on the full file system")
                    if p.poll() is not None:
                        raise AssertionError("the service ended on the full file system, status %d" % p.returncode)
                    check_whole(db, "on the full file system")
                    full = max(t for t, _ in rows(db, PAIR[0]))
                    os.remove(d.file("db/filler"))
                    twrun.wait_for(lambda: max(t for t, _ in rows(db, PAIR[0])) > full + 1,
                                   "storing after the filler is gone")
                    check_whole(db, "after the file system is free again")
                    for tb in PAIR:
                        lost = before[tb] - rows(db, tb)
                        if lost:
                            raise AssertionError("fault %d: rows of %s lost: %s" % (fault, tb, sorted(lost)))
                    if integrity(db) != ["ok"]:
                        raise AssertionError("fault %d: integrity_check %s" % (fault, integrity(db)))
                failures = drain_failures(d)
            finally:
                stop(p)
        finally:
            subprocess.run(["umount", d.file("db")])
        return "2 faults, %d passes lost, then stored again" % failures


def main():
    if sys.argv[1:] == ["--full-inside"]:
        try:
            print(case_full_inside())
        except Exception as e:
            print(e)
            sys.exit(1)
        return
    quick = "--quick" in sys.argv[1:]
    random.seed(int(os.environ.get("TW_FAULT_SEED", str(int(time.time())))))
    cases = [("kill -9 and restart", lambda: case_kill9(3 if quick else 20)),
             ("SIGTERM during passes", lambda: case_sigterm(3 if quick else 10)),
             ("database file deleted", lambda: case_damaged(delete_files, "the file is gone")),
             ("database file truncated", lambda: case_damaged(truncate_file, "the file was truncated",
                                                              "Database %s was truncated to 0 bytes while open")),
             ("database directory unwritable", case_unwritable),
             ("health file directory removed", case_health_dir)]
    if not quick:
        cases += [("write lock held 10 s", lambda: case_lock(10)), ("file system full twice", case_full)]
    failed = 0
    for name, run in cases:
        start_time = time.monotonic()
        try:
            result = run()
            print("ok   %-32s %s (%.1f s)" % (name, result, time.monotonic() - start_time), flush=True)
        except Exception as e:  # report every case, then fail
            failed += 1
            print("FAIL %-32s %s" % (name, e), flush=True)
    sys.exit(1 if failed else 0)


if __name__ == "__main__":
    main()
