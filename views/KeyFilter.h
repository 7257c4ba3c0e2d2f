#pragma once

#include <QObject>

// Discards typed characters that an edit box does not accept. Only typed printable
// characters are judged: editing keys, shortcuts (Ctrl+V, Ctrl+Z) and pasting pass, so a
// pasted text still reaches the box's change handling, which reports what it cannot read.
//
// Install with edit->installEventFilter(filter). Used by:
//   Setmax, SetMin (SetmaxKeyPress)        -> KeyFilter::Kind::Limit
//   Maxrecord, RecordSITime (RecordSITimeKeyPress) -> KeyFilter::Kind::Digits
class KeyFilter : public QObject
{
    Q_OBJECT
public:
    enum class Kind
    {
        Digits, // "0" to "9" and backspace
        Limit,  // "0" to "9", backspace, "+" and "-"
    };

    explicit KeyFilter(Kind kind, QObject *parent = nullptr);

    // Whether a typed character passes the filter.
    static bool accepts(Kind kind, QChar c);

protected:
    bool eventFilter(QObject *watched, QEvent *event) override;

private:
    Kind m_kind = Kind::Digits;
};
