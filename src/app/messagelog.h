#pragma once
// The message log: newest line first, each "<date and time>: <message>" CR LF. It lives only in
// memory; the text is cut to its first 20000 characters before a line is put in front.

#include "core/seams.h"

#include <QLocale>
#include <QObject>

namespace rostrel {

inline constexpr qsizetype kLogLimit = 20000;

class MessageLog : public QObject, public MessageSink
{
    Q_OBJECT
public:
    explicit MessageLog(const Clock& clock, QLocale locale = QLocale::system(), QObject* parent = nullptr);

    void AddMessage(const QString& msg) override;
    void replaceText(const QString& text) override;
    QString text() const override { return m_text; }

    // The locale's short date, a blank and its long time with seconds; midnight gives the date alone.
    static QString stamp(const QDateTime& when, const QLocale& locale);

Q_SIGNALS:
    void textChanged(const QString& text);

private:
    const Clock& m_clock;
    QLocale m_locale;
    QString m_text;
};

} // namespace rostrel
