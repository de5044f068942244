"""Builds databases laid out exactly as the tallywick service writes them, for
the tests of tallywick-report: the service's own schema texts, metadata rows
of the service's form, and series tables of both value kinds."""

import sqlite3

PREFIX = "com.norvex.fenmark.mon"
METADATA_TABLE = "sm_stats_metadata"

METADATA_CREATE = (
    'CREATE TABLE IF NOT EXISTS "' + METADATA_TABLE + '" (   stat_id         VARCHAR(128),'
    '   stat_table_name VARCHAR(128),   stat_metadata   VARCHAR(512),   CONSTRAINT "pk_'
    + METADATA_TABLE + '" PRIMARY KEY (stat_id),   CONSTRAINT "uniq_' + METADATA_TABLE
    + '" UNIQUE (stat_table_name));')
METADATA_UPSERT = ('INSERT OR REPLACE INTO "' + METADATA_TABLE
                   + '"   (stat_id, stat_table_name, stat_metadata)   VALUES (?, ?, ?);')
SERIES_CREATE = {
    0: 'CREATE TABLE IF NOT EXISTS "%1" (    sm_timestamp    INTEGER,   sm_stat_value   INTEGER,'
       '   CONSTRAINT "pk_%2" PRIMARY KEY (sm_timestamp));',
    1: 'CREATE TABLE IF NOT EXISTS "%1" (    sm_timestamp    INTEGER,   sm_stat_value   REAL,'
       '   CONSTRAINT "pk_%2" PRIMARY KEY (sm_timestamp));',
}
SAMPLE_INSERT = 'INSERT OR REPLACE INTO "%1"    (sm_timestamp, sm_stat_value)   VALUES (?, ?);'


def table_name(series):
    return ("sm_stat_" + series).replace(".", "_")


def metadata(name, category, unit, instance=None):
    text = "category=%s.cat.%s;units=%s.unit.%s;" % (PREFIX, category, PREFIX, unit)
    if instance is not None:
        text += "instance=%s;" % instance
    text += "name=%s.name.%s;description=%s.descr.%s;" % (PREFIX, name, PREFIX, name)
    return text


class ReportDb:
    """A database file in the service's layout."""

    def __init__(self, path):
        self.conn = sqlite3.connect(path)
        self.conn.execute('PRAGMA encoding = "UTF-8";')
        self.conn.execute("PRAGMA journal_mode=wal;")
        self.conn.execute(METADATA_CREATE)

    def add_series(self, name, category, unit, kind, instance=None, with_metadata=True):
        """Creates the series table (kind 0 INTEGER, 1 REAL) and its metadata row."""
        table = table_name(name)
        self.conn.execute(SERIES_CREATE[kind].replace("%1", table).replace("%2", table))
        if with_metadata:
            self.conn.execute(METADATA_UPSERT, (name, table, metadata(name, category, unit, instance)))
        return table

    def add_samples(self, name, samples):
        """samples: iterable of (timestamp, value) with None for an invalid value."""
        sql = SAMPLE_INSERT.replace("%1", table_name(name))
        self.conn.executemany(sql, samples)

    def close(self):
        self.conn.commit()
        self.conn.close()
