// vorlatt-log: logs the meter without a window. See loggerHelp() for the command line.

#include "Logger.h"
#include "LoggerOptions.h"

#include <QCoreApplication>
#include <QSocketNotifier>

#include <csignal>
#include <cstdio>

#include <fcntl.h>
#include <unistd.h>

namespace {

int g_signalPipe[2] = {-1, -1};

// Only async-signal-safe work here: the event loop reads the pipe and ends the run.
void onStopSignal(int signal)
{
    const char byte = static_cast<char>(signal);
    [[maybe_unused]] const ssize_t n = ::write(g_signalPipe[1], &byte, 1);
}

bool catchStopSignals()
{
    if (::pipe2(g_signalPipe, O_CLOEXEC | O_NONBLOCK) != 0)
        return false;
    struct sigaction action
    {
    };
    action.sa_handler = onStopSignal;
    sigemptyset(&action.sa_mask);
    action.sa_flags = SA_RESTART;
    sigaction(SIGINT, &action, nullptr);
    sigaction(SIGTERM, &action, nullptr);
    // A reader of standard output that goes away must not end the run unannounced.
    std::signal(SIGPIPE, SIG_IGN);
    return true;
}

} // namespace

int main(int argc, char **argv)
{
    QCoreApplication app(argc, argv);
    QCoreApplication::setApplicationName(QStringLiteral("vorlatt-log"));
    QCoreApplication::setApplicationVersion(QStringLiteral(VORLATT_VERSION));

    QStringList arguments = QCoreApplication::arguments();
    arguments.removeFirst();
    const ParsedCommandLine parsed = parseLoggerCommandLine(arguments);
    if (const int status = commandline::answerOtherThanRun(parsed, "vorlatt-log", loggerHelp);
        status >= 0)
        return status;

    if (!catchStopSignals()) {
        std::perror("vorlatt-log: pipe");
        return 1;
    }
    Logger logger(parsed.options, stdout, stderr);
    QObject::connect(&logger, &Logger::finished, &app, &QCoreApplication::exit);
    QSocketNotifier stopNotifier(g_signalPipe[0], QSocketNotifier::Read);
    QObject::connect(&stopNotifier, &QSocketNotifier::activated, &logger, [&logger] {
        char byte = 0;
        while (::read(g_signalPipe[0], &byte, 1) > 0) {
        }
        logger.finish(Logger::kDone);
    });

    const int status = logger.start();
    if (status >= 0)
        return status;
    return app.exec();
}
