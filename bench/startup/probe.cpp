// One start of a window, timed by bench_startup: prints "painted" on the window's first paint and
// ends. Built twice: as the program's main window and as an empty Qt window, the baseline.
#include <QApplication>
#include <QEvent>
#include <QMainWindow>
#include <QTimer>

#include <cstdio>

#ifdef VORLATT_PROBE_WINDOW
#include "app/TFCOMM.h"
#endif

namespace {

class FirstPaint : public QObject
{
public:
    using QObject::QObject;

protected:
    bool eventFilter(QObject *watched, QEvent *event) override
    {
        if (event->type() == QEvent::Paint && !m_seen) {
            m_seen = true;
            // Reported once the paint is done, from the event loop.
            QTimer::singleShot(0, [] {
                std::puts("painted");
                std::fflush(stdout);
                QCoreApplication::exit(0);
            });
        }
        return QObject::eventFilter(watched, event);
    }

private:
    bool m_seen = false;
};

} // namespace

int main(int argc, char *argv[])
{
    QApplication app(argc, argv);
    QApplication::setApplicationName(QStringLiteral("Vorlatt"));
#ifdef VORLATT_PROBE_WINDOW
    TFCOMM window;
#else
    QMainWindow window;
    window.setFixedSize(620, 470);
#endif
    FirstPaint firstPaint;
    window.installEventFilter(&firstPaint);
    window.show();
    return app.exec();
}
