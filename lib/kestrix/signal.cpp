#include "kestrix/signal.h"

#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <string.h>
#include <unistd.h>

#include <atomic>
#include <system_error>

#include "kestrix/exception.h"
#include "kestrix/log.h"

namespace Kestrix {
namespace System {
namespace {

// The write end of the live watcher's pipe, -1 when there is none. The handler
// reads it with one atomic load (lock free for int on every supported target).
std::atomic<int> g_writeFd{-1};
static_assert(std::atomic<int>::is_always_lock_free, "the signal handler needs a lock-free fd");

// Byte 0 is no signal: it tells the watcher thread to end.
constexpr unsigned char kStop = 0;

extern "C" void HandleSignal(int signo, siginfo_t* info, void*) {
  const int saved = errno;
  const int fd = g_writeFd.load(std::memory_order_relaxed);
  if (fd >= 0) {
    const unsigned char b = static_cast<unsigned char>(info ? info->si_signo : signo);
    // A full pipe drops the byte: enough of the same signals are queued already.
    ssize_t ignored = ::write(fd, &b, 1);
    (void)ignored;
  }
  errno = saved;
}

}  // namespace

SignalWatcher::SignalWatcher(Callback callback)
    : callback_(std::move(callback)) {
  int fds[2];
  if (::pipe2(fds, O_CLOEXEC) != 0) {
    const std::string error = strerror(errno);
    throw Exception("cannot create the signal pipe: " + error);
  }
  // The handler must never block on a full pipe.
  ::fcntl(fds[1], F_SETFL, ::fcntl(fds[1], F_GETFL) | O_NONBLOCK);
  int expected = -1;
  if (!g_writeFd.compare_exchange_strong(expected, fds[1])) {
    ::close(fds[0]);
    ::close(fds[1]);
    throw InvalidStateException("a signal watcher exists already");
  }
  readFd_ = fds[0];
  writeFd_ = fds[1];
  try {
    thread_ = std::thread([this] { Loop(); });
  } catch (const std::system_error& e) {
    g_writeFd.store(-1);
    ::close(readFd_);
    ::close(writeFd_);
    throw Exception(std::string("cannot start the signal watcher thread: ") + e.what());
  }
}

SignalWatcher::~SignalWatcher() {
  for (auto it = saved_.rbegin(); it != saved_.rend(); ++it) {
    ::sigaction(it->first, &it->second, nullptr);
  }
  const unsigned char stop = kStop;
  while (::write(writeFd_, &stop, 1) < 0 && (errno == EINTR || errno == EAGAIN)) {
  }
  thread_.join();
  g_writeFd.store(-1);
  ::close(readFd_);
  ::close(writeFd_);
}

bool SignalWatcher::Install(int signo, std::string& error) {
  struct sigaction action;
  memset(&action, 0, sizeof action);
  action.sa_sigaction = HandleSignal;
  sigfillset(&action.sa_mask);
  sigdelset(&action.sa_mask, SIGABRT);
  action.sa_flags = SA_RESTART | SA_SIGINFO;
  struct sigaction old;
  if (::sigaction(signo, &action, &old) != 0) {
    error = strerror(errno);
    return false;
  }
  saved_.emplace_back(signo, old);
  return true;
}

void SignalWatcher::Loop() {
  pthread_setname_np(pthread_self(), "signals");
  unsigned char buf[64];
  for (;;) {
    const ssize_t n = ::read(readFd_, buf, sizeof buf);
    if (n < 0 && errno == EINTR) continue;
    if (n <= 0) return;
    for (ssize_t i = 0; i < n; ++i) {
      if (buf[i] == kStop) return;
      try {
        callback_(buf[i]);
      } catch (const std::exception& e) {
        KLOG(Service::GetDefaultLogger(), ERROR, "Handling signal %1 failed: %2", int(buf[i]), e.what());
      }
    }
  }
}

}  // namespace System
}  // namespace Kestrix
