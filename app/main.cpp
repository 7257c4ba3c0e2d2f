#include "CommandLine.h"
#include "LivePage.h"
#include "TFCOMM.h"

#include <QApplication>
#include <QTimer>

#include <cstdio>

int main(int argc, char *argv[])
{
    // The command line is read before the window system is reached, so --help and --version
    // work without a display.
    CommandLine commandLine;
    {
        QCoreApplication cli(argc, argv);
        QCoreApplication::setApplicationName(QStringLiteral("vorlatt"));
        QCoreApplication::setApplicationVersion(QStringLiteral(VORLATT_VERSION));
        commandLine = CommandLine::parse(QCoreApplication::arguments());
    }
    if (!commandLine.run) {
        std::fputs(qPrintable(commandLine.output), commandLine.exitCode ? stderr : stdout);
        return commandLine.exitCode;
    }
    commandLine.applyPorts();
    if (!commandLine.warning.isEmpty())
        std::fputs(qPrintable(QStringLiteral("vorlatt: ") + commandLine.warning + u'\n'), stderr);

    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Vorlatt"));
    QApplication::setApplicationVersion(QStringLiteral(VORLATT_VERSION));
    QApplication::setDesktopFileName(QStringLiteral("vorlatt"));
    // The page outlives the window, which tells it of the link until its very end.
    std::unique_ptr<LivePage> livePage;
    TFCOMM window;
    livePage = LivePage::startFor(commandLine.http, commandLine.meterId, &window);
    window.setLivePage(livePage.get());
    window.show();
    // Before anything else: readings a crashed run left behind.
    QTimer::singleShot(0, &window, &TFCOMM::offerRecovery);
    return app.exec();
}
