// The floor of the cost comparison: the least a collector that stores the
// same series can do per sample. Once a second it opens, reads and closes the
// /proc files that tallywick reads (and lists the directories it lists), then
// stores one row per series in one SQLite transaction (WAL, SQLite's default
// synchronous setting, as tallywick's database). It parses nothing.
//
// Usage: floor <database> <rows per sample> <seconds> [file ...]
// Rows given as A+B store A rows and then B rows in two transactions, one
// after the other: the least that two collections committing on their own
// can cost. Rows given as A:B store the B rows from a second thread that
// wakes on its own, half a second out of phase, and reads no files: the least
// that two collections cost when each wakes for its own pass.
// The files default to the system-wide /proc files; the comparison passes the
// exact list that tallywick opened during one pass. A path ending in "/" is a
// directory whose entries are listed.
#include <dirent.h>
#include <fcntl.h>
#include <sqlite3.h>
#include <time.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <thread>
#include <utility>
#include <vector>

namespace {

const char* const kFiles[] = {"/proc/meminfo", "/proc/stat",     "/proc/cpuinfo", "/proc/diskstats",
                              "/proc/net/dev", "/proc/loadavg",  "/proc/uptime"};

void ListAll(const char* path) {
  DIR* dir = opendir(path);
  if (dir == nullptr) return;
  while (readdir(dir) != nullptr) {
  }
  closedir(dir);
}

void ReadAll(const char* path, std::vector<char>& buf) {
  const size_t length = std::strlen(path);
  if (length > 0 && path[length - 1] == '/') return ListAll(path);
  int fd = open(path, O_RDONLY | O_CLOEXEC);
  if (fd < 0) return;
  ssize_t n;
  while ((n = read(fd, buf.data(), buf.size())) > 0) {
  }
  close(fd);
}

bool Exec(sqlite3* db, const char* sql) {
  char* err = nullptr;
  if (sqlite3_exec(db, sql, nullptr, nullptr, &err) != SQLITE_OK) {
    std::fprintf(stderr, "floor: %s: %s\n", sql, err ? err : "?");
    sqlite3_free(err);
    return false;
  }
  return true;
}

void Commit(sqlite3* db, const std::vector<sqlite3_stmt*>& inserts, int from, int to) {
  if (from == to) return;
  const long long now = static_cast<long long>(time(nullptr));
  Exec(db, "BEGIN IMMEDIATE;");
  for (int i = from; i < to; ++i) {
    sqlite3_stmt* st = inserts[static_cast<size_t>(i)];
    sqlite3_bind_int64(st, 1, now);
    sqlite3_bind_double(st, 2, 1.5);
    sqlite3_step(st);
    sqlite3_reset(st);
  }
  Exec(db, "COMMIT;");
}

// Sleeps until `at`, then moves it on by a second.
void Tick(struct timespec& at) {
  clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &at, nullptr);
  at.tv_sec += 1;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 4) {
    std::fprintf(stderr, "usage: %s <database> <rows per sample> <seconds> [file ...]\n", argv[0]);
    return 2;
  }
  char* rest = nullptr;
  const int first = static_cast<int>(std::strtol(argv[2], &rest, 10));
  // "N+M": N rows, then M rows in a second commit on the same thread; "N=M":
  // the M rows committed by a second thread that wakes at the same times.
  const bool threads = *rest == '=';
  const int second = (*rest == '+' || threads) ? std::atoi(rest + 1) : 0;
  const int rows = first + second;
  const int seconds = std::atoi(argv[3]);
  sqlite3* db = nullptr;
  // One connection for both threads, serialized, as the service's.
  if (sqlite3_open_v2(argv[1], &db, SQLITE_OPEN_READWRITE | SQLITE_OPEN_CREATE | SQLITE_OPEN_FULLMUTEX, nullptr) !=
      SQLITE_OK)
    return 1;
  // The same page size as the service's database.
  if (!Exec(db, "PRAGMA page_size=1024;") || !Exec(db, "PRAGMA journal_mode=wal;")) return 1;
  for (int i = 0; i < rows; ++i) {
    std::string sql = "CREATE TABLE IF NOT EXISTS t" + std::to_string(i) +
                      " (ts INTEGER PRIMARY KEY, v REAL);";
    if (!Exec(db, sql.c_str())) return 1;
  }
  std::vector<sqlite3_stmt*> inserts(static_cast<size_t>(rows));
  for (int i = 0; i < rows; ++i) {
    std::string sql = "INSERT OR REPLACE INTO t" + std::to_string(i) + " (ts, v) VALUES (?, ?);";
    sqlite3_prepare_v2(db, sql.c_str(), -1, &inserts[static_cast<size_t>(i)], nullptr);
  }
  std::vector<std::string> files;
  for (int i = 4; i < argc; ++i) files.push_back(argv[i]);
  if (files.empty()) files.assign(std::begin(kFiles), std::end(kFiles));
  std::vector<char> buf(1 << 16);
  struct timespec next;
  clock_gettime(CLOCK_MONOTONIC, &next);
  std::thread other;
  if (threads) {
    other = std::thread([db, &inserts, first, rows, seconds, at = next]() mutable {
      for (int s = 0; s < seconds; ++s) {
        Tick(at);
        Commit(db, inserts, first, rows);
      }
    });
  }
  for (int s = 0; s < seconds; ++s) {
    Tick(next);
    for (const auto& f : files) ReadAll(f.c_str(), buf);
    Commit(db, inserts, 0, first);
    if (!threads) Commit(db, inserts, first, rows);
  }
  if (other.joinable()) other.join();
  for (auto* st : inserts) sqlite3_finalize(st);
  sqlite3_close(db);
  return 0;
}
