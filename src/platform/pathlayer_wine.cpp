// Game paths inside a Wine prefix. Drive letters go through the prefix's dosdevices links, and
// each component is matched without regard to case, as Windows matches it, so that a path the
// game spells "Interface\Addons" finds the "Interface/AddOns" on disk instead of making a twin.

#include "platform/backends.h"

#include <QDir>
#include <QFileInfo>

namespace rostrel {
namespace {

QString joined(const QString& folder, const QString& name)
{
    if (folder.endsWith(u'/'))
        return folder + name;
    return folder + u'/' + name;
}

class WinePathLayer final : public PathLayer
{
public:
    explicit WinePathLayer(const QString& prefix)
        : m_prefix(QDir::cleanPath(prefix))
    { }

    FolderListing list(const QString& hostPath) const override { return listFolder(hostPath); }

    QString toHost(const QString& gamePath) const override
    {
        QString path = gamePath;
        path.replace(u'/', u'\\');
        // A path without a drive letter is taken to be on C:, Wine's system drive.
        QChar drive = u'c';
        if (path.size() >= 2 && path.at(1) == u':' && path.at(0).isLetter() && path.at(0).unicode() < 0x80) {
            drive = path.at(0).toLower();
            path = path.mid(2);
        }

        // "." and ".." are resolved by name, as Windows resolves them, never above the drive.
        QStringList parts;
        for (const QString& part : path.split(u'\\', Qt::SkipEmptyParts)) {
            if (part == QStringLiteral("."))
                continue;
            if (part == QStringLiteral("..")) {
                if (!parts.isEmpty())
                    parts.removeLast();
                continue;
            }
            parts << part;
        }

        // A game folder chosen by hand through the host's own file dialog is a host path already.
        QString current = gamePath.startsWith(u'/') ? QStringLiteral("/") : driveRoot(drive);
        // Most paths are spelled as on disk: one look at the whole path spares one per component.
        if (!parts.isEmpty()) {
            const QString whole = joined(current, parts.join(u'/'));
            if (QFileInfo::exists(whole))
                return whole;
        }
        bool onDisk = QFileInfo(current).isDir();
        for (const QString& part : parts) {
            if (onDisk) {
                const QString exact = joined(current, part);
                if (QFileInfo::exists(exact)) {
                    current = exact;
                    continue;
                }
                const QString found = nameOnDisk(current, part);
                if (!found.isEmpty()) {
                    current = joined(current, found);
                    continue;
                }
                onDisk = false; // nothing below a missing component can exist either
            }
            current = joined(current, part);
        }
        return current;
    }

private:
    QString driveRoot(QChar drive) const
    {
        const QString link = m_prefix + QStringLiteral("/dosdevices/") + drive + u':';
        const QFileInfo info(link);
        if (info.isDir())
            return info.isSymLink() ? QDir::cleanPath(info.symLinkTarget()) : link;
        if (drive == u'c')
            return m_prefix + QStringLiteral("/drive_c");
        return link;
    }

    // The entry of `folder` whose name equals `name` apart from case; the first in name order
    // should several differ only in case.
    static QString nameOnDisk(const QString& folder, const QString& name)
    {
        const QStringList names
            = QDir(folder).entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot, QDir::Name);
        for (const QString& candidate : names) {
            if (candidate.compare(name, Qt::CaseInsensitive) == 0)
                return candidate;
        }
        return {};
    }

    QString m_prefix;
};

} // namespace

std::unique_ptr<PathLayer> makeWinePathLayer(const QString& prefix)
{
    return std::make_unique<WinePathLayer>(prefix);
}

} // namespace rostrel
