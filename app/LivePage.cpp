#include "LivePage.h"

#include "web/HttpService.h"

#include <QMessageBox>
#include <QTimer>
#include <QWidget>


LivePage::LivePage(const HttpOptions &options, const QString &meterId) : m_options(options)
{
    m_feed.setMeterId(meterId);
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

std::unique_ptr<LivePage> LivePage::startFor(const HttpOptions &options, const QString &meterId,
                                             QWidget *window)
{
    if (!options.enabled())
        return nullptr;
    auto page = std::make_unique<LivePage>(options, meterId);
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
