#pragma once

#include <QDateTime>
#include <QString>

// The status bar clock: "hh : nn : ss     mm - dd - yyyy" (the second "mm" is the month), always
// 31 characters.
QString clockText(const QDateTime &when);
