#include "quitsignals.h"

#include <QCoreApplication>
#include <QSocketNotifier>

#include <array>
#include <atomic>
#include <cerrno>
#include <cstring>

#include <fcntl.h>
#include <signal.h>
#include <unistd.h>

namespace {

constexpr std::array QuitSignalNumbers{SIGTERM, SIGINT, SIGHUP};
std::array<struct sigaction, QuitSignalNumbers.size()> previousActions{};
std::atomic<int> writeFd{-1};

void onQuitSignal(int)
{
    const int savedErrno = errno;
    const char byte = 1;
    // A full pipe already holds a request to quit.
    [[maybe_unused]] const ssize_t written = ::write(writeFd.load(), &byte, 1);
    errno = savedErrno;
}

} // namespace

QuitSignals::QuitSignals(QObject *parent)
    : QObject(parent)
{
    int fds[2];
    if (::pipe2(fds, O_CLOEXEC | O_NONBLOCK) != 0) {
        qWarning("Cannot watch for quit signals: %s", strerror(errno));
        return;
    }
    m_readFd = fds[0];
    writeFd.store(fds[1]);
    m_notifier = std::make_unique<QSocketNotifier>(m_readFd, QSocketNotifier::Read);
    connect(m_notifier.get(), &QSocketNotifier::activated, this, &QuitSignals::quit);

    struct sigaction action = {};
    action.sa_handler = onQuitSignal;
    action.sa_flags = SA_RESTART;
    sigemptyset(&action.sa_mask);
    for (std::size_t i = 0; i < QuitSignalNumbers.size(); ++i)
        ::sigaction(QuitSignalNumbers[i], &action, &previousActions[i]);
}

QuitSignals::~QuitSignals()
{
    if (m_readFd < 0)
        return;
    for (std::size_t i = 0; i < QuitSignalNumbers.size(); ++i)
        ::sigaction(QuitSignalNumbers[i], &previousActions[i], nullptr);
    m_notifier.reset();
    ::close(writeFd.exchange(-1));
    ::close(m_readFd);
}

void QuitSignals::quit()
{
    char bytes[16];
    while (::read(m_readFd, bytes, sizeof bytes) > 0) {
    }
    QCoreApplication::quit();
}
