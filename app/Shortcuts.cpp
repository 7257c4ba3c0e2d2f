#include "Shortcuts.h"

#include "GuideWindow.h"
#include "TFCOMM.h"
#include "ui_FCOMM.h"

#include <QAbstractButton>
#include <QCoreApplication>
#include <QDir>
#include <QFileInfo>
#include <QMessageBox>
#include <QShortcut>

namespace {

constexpr const char kGuideName[] = "user-guide.md";

} // namespace

Shortcuts::Shortcuts(TFCOMM *window) : QObject(window), m_window(window)
{
    Ui::FCOMM *ui = window->ui();
    // A click does nothing on a disabled button; a hidden one (COMCon while the USB link runs)
    // cannot be clicked either.
    auto clicks = [window](const QKeySequence &keys, QAbstractButton *button) {
        auto *shortcut = new QShortcut(keys, window);
        connect(shortcut, &QShortcut::activated, button, [window, button] {
            if (button->isVisibleTo(window) && button->isEnabled())
                button->click();
        });
    };
    clicks(QKeySequence(Qt::CTRL | Qt::Key_S), ui->saveas);
    clicks(QKeySequence(Qt::CTRL | Qt::Key_O), ui->OpenDataFiles);
    clicks(QKeySequence(Qt::CTRL | Qt::Key_P), ui->BtPrint);
    clicks(QKeySequence(Qt::CTRL | Qt::Key_N), ui->RecordNew);
    clicks(QKeySequence(Qt::CTRL | Qt::Key_Q), ui->BitBtn1);
    clicks(QKeySequence(Qt::Key_F5), ui->COMCon);

    auto *help = new QShortcut(QKeySequence(Qt::Key_F1), window);
    connect(help, &QShortcut::activated, this, &Shortcuts::openUserGuide);
}

QStringList Shortcuts::guideCandidates()
{
    const QString bin = QCoreApplication::applicationDirPath();
    return {QDir::cleanPath(bin + QStringLiteral("/../share/doc/vorlatt/") + kGuideName),
            QStringLiteral("/usr/share/doc/vorlatt/") + kGuideName,
            QStringLiteral(VORLATT_SOURCE_DIR "/docs/") + kGuideName};
}

QString Shortcuts::findGuide()
{
    for (const QString &path : guideCandidates())
        if (QFileInfo(path).isFile())
            return path;
    return {};
}

void Shortcuts::openUserGuide()
{
    const QString guide = findGuide();
    if (guide.isEmpty()) {
        QMessageBox::information(m_window, QStringLiteral("Vorlatt"),
                                 QStringLiteral("The user guide is not installed. It is looked "
                                                "for as:\n%1")
                                     .arg(guideCandidates().join(u'\n')));
        return;
    }
    if (!m_guide) {
        m_guide = new GuideWindow(m_window);
        m_guide->setAttribute(Qt::WA_DeleteOnClose);
        if (!m_guide->showGuide(guide)) {
            delete m_guide;
            QMessageBox::information(
                m_window, QStringLiteral("Vorlatt"),
                QStringLiteral("The user guide cannot be read: %1").arg(guide));
            return;
        }
    }
    m_guide->show();
    m_guide->raise();
    m_guide->activateWindow();
}
