#pragma once
// What the file host publishes and where: the host's addresses, the version text, the file list
// and the names in it. Pure functions, no network and no disk.

#include <QByteArray>
#include <QString>
#include <QStringList>
#include <functional>

namespace rostrel {

// The file host's base address ("http://" + host + "/files/Rostrel/"). The host is the build-time
// default unless `override` names one ("files.example.org", "127.0.0.1:8080"); an override that
// starts with "https://" keeps TLS, one that starts with "http://" is taken as plain HTTP. Empty
// when neither names a host.
QString fileHostBase(const QString& override);
// The same, with the override taken from the environment variable ROSTREL_FILE_HOST.
QString fileHostBaseFromEnvironment();

// Where the addon's files come from: a fixed base address, or one worked out at each check (the
// guild site in the address box, which the player may not have typed yet: then empty).
class FileHostSource
{
public:
    FileHostSource(QString base)
        : m_fixed(std::move(base))
    { }
    FileHostSource(std::function<QString()> find)
        : m_find(std::move(find))
    { }
    QString base() const { return m_find ? m_find() : m_fixed; }
    // The host is the guild site typed in the address box.
    bool followsSite() const { return bool(m_find); }

private:
    QString m_fixed;
    std::function<QString()> m_find;
};

// The address of a file on the host at `base`; the name is percent-encoded as a URL needs.
QString fileUrl(const QString& base, const QString& name);

// Whether a name from the file list stays inside the addon folder as a plain file name.
bool isSafeFileName(const QString& name);
// The published version: the version file's text with spaces at its ends and every CR LF removed.
QString cleanVersion(const QByteArray& versionFile);
// The file list's names: its text split at every CR LF, empty pieces kept.
QStringList splitFileList(const QByteArray& fileList);

} // namespace rostrel
