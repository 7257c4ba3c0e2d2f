#include "KeyFilter.h"

#include <QKeyEvent>

KeyFilter::KeyFilter(Kind kind, QObject *parent) : QObject(parent), m_kind(kind) {}

bool KeyFilter::accepts(Kind kind, QChar c)
{
    if ((c >= QLatin1Char('0') && c <= QLatin1Char('9')) || c == QChar(8))
        return true;
    return kind == Kind::Limit && (c == QLatin1Char('+') || c == QLatin1Char('-'));
}

bool KeyFilter::eventFilter(QObject *watched, QEvent *event)
{
    if (event->type() == QEvent::KeyPress) {
        const auto *key = static_cast<QKeyEvent *>(event);
        const QString text = key->text();
        const bool shortcut =
            key->modifiers() & (Qt::ControlModifier | Qt::AltModifier | Qt::MetaModifier);
        if (!shortcut && text.size() == 1 && text[0].isPrint() && !accepts(m_kind, text[0]))
            return true;
    }
    return QObject::eventFilter(watched, event);
}
