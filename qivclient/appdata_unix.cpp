// AppData's POSIX signal handling: the handler sigInt_AppQuit and the self-pipe that hands its signal numbers to the
// main thread's event loop.
#include <fcntl.h>
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <QCoreApplication>
#include <QSocketNotifier>
#include <cerrno>
#include <cstdio>

#include "appdata.h"

namespace {

// Self-pipe between the signal handler and the event loop: the handler writes the signal number as one byte, the
// main thread's notifier reads it. Both ends are non-blocking, so a full pipe drops a signal instead of blocking the
// handler (a quit already pending is enough).
int g_signalPipe[2] = {-1, -1};

void installHandler(int signal) {
    struct sigaction sa = {};
    sa.sa_handler = sigInt_AppQuit;
    sigemptyset(&sa.sa_mask);
    // SA_RESTART: a SIGHUP or SIGPIPE must not interrupt a system call in progress on any thread.
    sa.sa_flags = SA_RESTART;
    sigaction(signal, &sa, nullptr);
}

}  // namespace

void sigInt_AppQuit(int signal) {
    const int savedErrno = errno;
    if (g_signalPipe[1] >= 0) {
        const char byte = static_cast<char>(signal);
        ssize_t ignored = write(g_signalPipe[1], &byte, 1);
        (void)ignored;
    }
    errno = savedErrno;
}

void AppData::catchHangupAndPipe() {
    if (g_signalPipe[0] < 0 && pipe2(g_signalPipe, O_CLOEXEC | O_NONBLOCK) == 0) {
        m_signalNotifier = new QSocketNotifier(g_signalPipe[0], QSocketNotifier::Read, this);
        connect(m_signalNotifier, &QSocketNotifier::activated, this, &AppData::onSignalPipe);
    }
    installHandler(SIGHUP);
    installHandler(SIGPIPE);
}

void AppData::catchInterruptAndTerminate() {
    installHandler(SIGINT);
    installHandler(SIGTERM);
}

void AppData::onSignalPipe() {
    char pending[64];
    ssize_t n;
    while ((n = read(g_signalPipe[0], pending, sizeof pending)) > 0) {
        for (ssize_t i = 0; i < n; ++i) {
            if (pending[i] != SIGINT && pending[i] != SIGTERM)
                continue;  // SIGHUP and SIGPIPE are caught only so that they neither stop nor interrupt the process
            fputs("Wait for quit ...\n", stdout);
            fflush(stdout);
            QCoreApplication::quit();
        }
    }
}

void AppData::raiseOpenFileLimit() {
    struct rlimit limit;
    if (::getrlimit(RLIMIT_NOFILE, &limit) != 0 || limit.rlim_cur >= limit.rlim_max) return;
    limit.rlim_cur = limit.rlim_max;
    ::setrlimit(RLIMIT_NOFILE, &limit);  // a refusal leaves the old limit, which still serves
}
