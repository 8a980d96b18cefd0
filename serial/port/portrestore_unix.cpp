#include "portrestore.h"

#include <array>
#include <atomic>
#include <cstdlib>
#include <iterator>
#include <mutex>

#include <signal.h>
#include <sys/ioctl.h>
#include <termios.h>

namespace {

// One window opens one port at a time; the table has room to spare.
constexpr int Capacity = 16;
constexpr int Free = -1;
constexpr int Filling = -2; // taken, settings being written: not yet to be restored

struct Entry
{
    std::atomic<int> fd{Free};
    termios saved{};
};

std::array<Entry, Capacity> entries;

constexpr std::array FatalSignals{SIGSEGV, SIGABRT, SIGBUS, SIGFPE, SIGILL};
std::array<struct sigaction, FatalSignals.size()> previousActions{};

// A stack overflow is a likely SIGSEGV; the handler then needs a stack of its own.
alignas(16) char alternateStack[64 * 1024];

void restoreAtExit()
{
    PortRestore::restoreAll();
}

void onFatalSignal(int signal, siginfo_t *info, void *)
{
    PortRestore::restoreAll();
    for (std::size_t i = 0; i < FatalSignals.size(); ++i) {
        if (FatalSignals[i] == signal)
            ::sigaction(signal, &previousActions[i], nullptr);
    }
    // A signal that was sent (kill, raise, abort) is sent again and delivered under the
    // previous action (the default: the process ends, with a core dump where enabled) once
    // this handler returns. A fault happens again when the faulting instruction is retried.
    if (info->si_code <= 0)
        ::raise(signal);
}

void installHandlers()
{
    std::atexit(restoreAtExit);

    stack_t current{};
    if (::sigaltstack(nullptr, &current) == 0 && (current.ss_flags & SS_DISABLE)) {
        stack_t own{};
        own.ss_sp = alternateStack;
        own.ss_size = sizeof alternateStack;
        ::sigaltstack(&own, nullptr);
    }
    struct sigaction action = {};
    action.sa_sigaction = onFatalSignal;
    action.sa_flags = SA_SIGINFO | SA_ONSTACK;
    sigemptyset(&action.sa_mask);
    for (std::size_t i = 0; i < FatalSignals.size(); ++i)
        ::sigaction(FatalSignals[i], &action, &previousActions[i]);
}

} // namespace

namespace PortRestore {

bool remember(int fd, const termios &saved)
{
    static std::once_flag installed;
    std::call_once(installed, installHandlers);
    for (Entry &entry : entries) {
        int expected = Free;
        if (entry.fd.compare_exchange_strong(expected, Filling)) {
            entry.saved = saved;
            entry.fd.store(fd, std::memory_order_release);
            return true;
        }
    }
    return false;
}

void forget(int fd)
{
    for (Entry &entry : entries) {
        int expected = fd;
        if (entry.fd.compare_exchange_strong(expected, Free))
            return;
    }
}

void restoreAll()
{
    static_assert(std::atomic<int>::is_always_lock_free);
    for (Entry &entry : entries) {
        const int fd = entry.fd.load(std::memory_order_acquire);
        if (fd < 0)
            continue;
        ::tcsetattr(fd, TCSANOW, &entry.saved);
        ::ioctl(fd, TIOCNXCL);
    }
}

} // namespace PortRestore
