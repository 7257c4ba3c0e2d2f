#include "LivePage.h"

#include "web/HttpService.h"

#include <QMessageBox>
#include <QTimer>
#include <QWidget>

#include <limits>

LivePage::LivePage(const HttpOptions &options) : m_options(options)
{
    // Every reading the display shows: no limit (a limit of L takes L + 1, so the largest one
    // never stops), no sampling interval, repeats kept. Numbered from 1 for this run.
    m_rules.setLimit(std::numeric_limits<qint32>::max());
    m_rules.NextRecordNo = 1;
    m_settings.RepeatSet = true;
    m_settings.RecordSI = false;
    m_recorder.addOutput(&m_feed);
    m_feed.setSource(meterId(), {});
    m_outputs = {{QStringLiteral("log"), true, {}}, {QStringLiteral("journal"), true, {}}};
    m_feed.setOutputs(m_outputs);
}

LivePage::~LivePage()
{
    if (m_service)
        m_service->stop();
}

QString LivePage::start()
{
    m_service = std::make_unique<HttpService>(m_feed, m_options);
    const QString error = m_service->start();
    if (!error.isEmpty())
        m_service.reset();
    return error;
}

int LivePage::port() const
{
    return m_service ? m_service->port() : -1;
}

QString LivePage::url() const
{
    return httpoptions::pageUrl(m_options, port());
}

void LivePage::linkUp(const QString &port)
{
    m_feed.setSource(meterId(), port);
    m_feed.linkUp();
}

void LivePage::linkDown()
{
    linkLost(QStringLiteral("the port was closed in the window"));
    m_feed.setSource(meterId(), {});
}

void LivePage::setOutputs(const QString &logError, const QString &logStopped,
                          const QString &journalError)
{
    const QList<OutputHealth> outputs = {
        {QStringLiteral("log"), logError.isEmpty(), logError.isEmpty() ? logStopped : logError},
        {QStringLiteral("journal"), journalError.isEmpty(), journalError}};
    // Once a second from the window's clock: the feed is told only of a change.
    if (outputs == m_outputs)
        return;
    m_outputs = outputs;
    m_feed.setOutputs(m_outputs);
}

QString LivePage::meterId()
{
    return httpoptions::machineName();
}

std::unique_ptr<LivePage> LivePage::startFor(const HttpOptions &options, QWidget *window)
{
    if (!options.enabled())
        return nullptr;
    auto page = std::make_unique<LivePage>(options);
    const QString error = page->start();
    if (error.isEmpty()) {
        qInfo("vorlatt: the live page is at %s", qPrintable(page->url()));
        return page;
    }
    qWarning("vorlatt: %s; the window runs without the live page", qPrintable(error));
    // Said once the window shows, over it; the window works as without --http.
    auto *box = new QMessageBox(QMessageBox::Warning, QStringLiteral("Vorlatt"),
                                QStringLiteral("The live page cannot be served."),
                                QMessageBox::Ok, window);
    box->setObjectName(QStringLiteral("LivePageFailure"));
    box->setInformativeText(error + QStringLiteral("\n\nThe window works as usual, without the "
                                                   "page. Start it again with another --http "
                                                   "port to serve the page."));
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->setWindowModality(Qt::WindowModal);
    QTimer::singleShot(0, box, &QMessageBox::show);
    return nullptr;
}
