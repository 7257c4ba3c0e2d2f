#include "ClockText.h"

QString clockText(const QDateTime &when)
{
    return when.toString(QStringLiteral("HH' : 'mm' : 'ss'     'MM' - 'dd' - 'yyyy"));
}
