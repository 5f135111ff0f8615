// Start with the desktop session through an XDG autostart entry,
// <config>/autostart/RostrelUploader.desktop. Path= holds the folder the settings live in, since
// a program started at log-in would otherwise start in the home folder. The entry is this run's
// only when it names this program and this run's settings folder: one written from another folder
// belongs to that folder's settings and is left as it is.

#include "platform/backends.h"

#include "core/fileio.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QString>

namespace rostrel {
namespace {

const QString kEntryName = QStringLiteral("RostrelUploader.desktop");

// A desktop file's string escapes, which every value goes through last.
QString escapeValue(const QString& text)
{
    QString out;
    out.reserve(text.size());
    for (qsizetype i = 0; i < text.size(); ++i) {
        const QChar c = text.at(i);
        if (c == u'\\')
            out += u"\\\\";
        else if (c == u'\n')
            out += u"\\n";
        else if (c == u'\t')
            out += u"\\t";
        else if (c == u'\r')
            out += u"\\r";
        else if (c == u' ' && i == 0)
            out += u"\\s";
        else
            out += c;
    }
    return out;
}

QString unescapeValue(const QString& text)
{
    QString out;
    out.reserve(text.size());
    for (qsizetype i = 0; i < text.size(); ++i) {
        const QChar c = text.at(i);
        if (c != u'\\' || i + 1 == text.size()) {
            out += c;
            continue;
        }
        const QChar n = text.at(++i);
        if (n == u's')
            out += u' ';
        else if (n == u'n')
            out += u'\n';
        else if (n == u't')
            out += u'\t';
        else if (n == u'r')
            out += u'\r';
        else if (n == u'\\')
            out += u'\\';
        else
            out += QString(c) + n;
    }
    return out;
}

// The program as the first word of Exec: always quoted, so no character of the path can
// split it or be taken for the shell's.
QString quoteProgram(const QString& path)
{
    QString quoted = QStringLiteral("\"");
    for (const QChar c : path) {
        if (c == u'"' || c == u'`' || c == u'$' || c == u'\\')
            quoted += u'\\';
        if (c == u'%')
            quoted += u'%'; // a literal percent sign is written twice, apart from field codes
        quoted += c;
    }
    return quoted + u'"';
}

// The first word of an Exec line after the value's own escapes were undone.
QString firstWord(const QString& exec)
{
    QString word;
    qsizetype i = 0;
    while (i < exec.size() && (exec.at(i) == u' ' || exec.at(i) == u'\t'))
        ++i;
    if (i < exec.size() && exec.at(i) == u'"') {
        for (++i; i < exec.size() && exec.at(i) != u'"'; ++i) {
            if (exec.at(i) == u'\\' && i + 1 < exec.size())
                ++i;
            word += exec.at(i);
        }
    } else {
        for (; i < exec.size() && exec.at(i) != u' ' && exec.at(i) != u'\t'; ++i)
            word += exec.at(i);
    }
    return word.replace(QStringLiteral("%%"), QStringLiteral("%"));
}

class XdgAutostart final : public Autostart
{
public:
    XdgAutostart(const QString& configDir, const QString& programPath, const QString& workingDir)
        : m_folder(configDir + QStringLiteral("/autostart"))
        , m_file(m_folder + u'/' + kEntryName)
        , m_programPath(programPath)
        , m_workingDir(workingDir)
    { }

    bool isInStartup() override
    {
        QFile file(m_file);
        if (!file.open(QIODevice::ReadOnly))
            return false;
        bool inEntry = false;
        bool namesUs = false;
        QString folder;
        bool switchedOff = false;
        while (!file.atEnd()) {
            const QString line = QString::fromUtf8(file.readLine()).trimmed();
            if (line.startsWith(u'[')) {
                inEntry = line == QStringLiteral("[Desktop Entry]");
                continue;
            }
            if (!inEntry)
                continue;
            const qsizetype eq = line.indexOf(u'=');
            if (eq < 0)
                continue;
            const QString key = line.left(eq).trimmed();
            const QString value = unescapeValue(line.mid(eq + 1).trimmed());
            if (key == QStringLiteral("Exec"))
                namesUs = firstWord(value) == m_programPath;
            else if (key == QStringLiteral("Path"))
                folder = value;
            // Either of these makes the session skip the entry.
            else if (key == QStringLiteral("Hidden"))
                switchedOff = switchedOff || value == QStringLiteral("true");
            else if (key == QStringLiteral("X-GNOME-Autostart-enabled"))
                switchedOff = switchedOff || value == QStringLiteral("false");
        }
        return namesUs && QDir::cleanPath(folder) == QDir::cleanPath(m_workingDir) && !switchedOff;
    }

    Result<void> enable() override
    {
        if (!QDir().mkpath(m_folder))
            return Failure { QStringLiteral("The folder ") + m_folder + QStringLiteral(" could not be created") };
        QString text = QStringLiteral("[Desktop Entry]\n"
                                      "Type=Application\n"
                                      "Name=Rostrel Uploader\n"
                                      "Comment=Uploads Rostrel character profiles to a guild website\n");
        text += QStringLiteral("Exec=") + escapeValue(quoteProgram(m_programPath)) + u'\n';
        if (!m_workingDir.isEmpty())
            text += QStringLiteral("Path=") + escapeValue(m_workingDir) + u'\n';
        text += QStringLiteral("Terminal=false\n"
                               "X-GNOME-Autostart-enabled=true\n");
        if (const auto written = io::writeFileAtomically(m_file, text.toUtf8()); !written)
            return Failure { m_file + QStringLiteral(" could not be written: ") + written.error() };
        return {};
    }

    Result<void> disable() override
    {
        QFile file(m_file);
        if (!QFileInfo::exists(m_file) && !QFileInfo(m_file).isSymLink())
            return {};
        if (!file.remove())
            return Failure { m_file + QStringLiteral(" could not be removed: ") + file.errorString() };
        return {};
    }

private:
    QString m_folder;
    QString m_file;
    QString m_programPath;
    QString m_workingDir;
};

} // namespace

std::unique_ptr<Autostart> makeXdgAutostart(
    const std::string& configDir, const std::string& programPath, const std::string& workingDir)
{
    return std::make_unique<XdgAutostart>(
        QString::fromStdString(configDir), QString::fromStdString(programPath), QString::fromStdString(workingDir));
}

} // namespace rostrel
