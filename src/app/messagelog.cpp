#include "app/messagelog.h"

#include <QLoggingCategory>
#include <QRegularExpression>

// Every log line also goes to the process's own log (stderr or the journal), so what happened
// while the window was hidden can be read after the fact.
Q_LOGGING_CATEGORY(lcLog, "rostrel.log", QtInfoMsg)

namespace rostrel {

MessageLog::MessageLog(const Clock& clock, QLocale locale, QObject* parent)
    : QObject(parent)
    , m_clock(clock)
    , m_locale(std::move(locale))
{ }

QString MessageLog::stamp(const QDateTime& when, const QLocale& locale)
{
    const QString date = locale.toString(when.date(), QLocale::ShortFormat);
    const QTime time = when.time();
    if (time.hour() == 0 && time.minute() == 0 && time.second() == 0)
        return date;
    // The long time format carries the seconds; drop the time-zone name some locales add to it.
    QString format = locale.timeFormat(QLocale::LongFormat);
    static const QRegularExpression zone(QStringLiteral("\\s*\\(?t+\\)?"));
    format.remove(zone);
    return date + QLatin1Char(' ') + locale.toString(time, format.trimmed());
}

void MessageLog::AddMessage(const QString& msg)
{
    if (m_text.size() > kLogLimit)
        m_text.truncate(kLogLimit);
    m_text = stamp(m_clock.now(), m_locale) + QStringLiteral(": ") + msg + QStringLiteral("\r\n") + m_text;
    qCInfo(lcLog).noquote() << msg;
    Q_EMIT textChanged(m_text);
}

void MessageLog::replaceText(const QString& text)
{
    m_text = text;
    qCInfo(lcLog).noquote() << "log replaced by:" << text.left(200);
    Q_EMIT textChanged(m_text);
}

} // namespace rostrel
