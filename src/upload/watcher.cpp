#include "upload/watcher.h"

#include "catalogue/characterlist.h"
#include "catalogue/discovery.h"
#include "catalogue/gamefolders.h"
#include "catalogue/profiles.h"
#include "core/seams.h"
#include "http/nestingguard.h"
#include "upload/uploader.h"

#include <QFileInfo>

using namespace Qt::Literals::StringLiterals;

namespace rostrel {

Watcher::Watcher(Discovery& discovery, CharacterList& list, ProfileReader& profiles, GameFolders& folders,
    Uploader& uploader, MessageSink& log, QObject* parent)
    : QObject(parent)
    , m_discovery(discovery)
    , m_list(list)
    , m_profiles(profiles)
    , m_folders(folders)
    , m_uploader(uploader)
    , m_log(log)
{
    m_updateTimer.setInterval(kUpdateInterval);
    connect(&m_updateTimer, &QTimer::timeout, this, &Watcher::UpdateTimer_Timer);
}

void Watcher::UpdateTimer_Timer()
{
    {
        const NestingGuard guard(m_inTick);
        if (!guard.entered())
            return;
        tick();
    }
    Q_EMIT tickFinished();
}

void Watcher::tick()
{
    const auto fail = [this](const QString& description, const QString& path) {
        m_log.AddMessage(QStringLiteral("Error in the Update Timer: ") + description
            + QStringLiteral(" while on file: '") + path + QStringLiteral("'"));
    };

    m_discovery.LoadfilesFromHardDrive();
    m_list.GetNextListIndexnoupload();
    const int index = m_list.WatchIndex();
    if (index < 0)
        return;

    const QString path = m_profiles.profilePath(index);
    const QFileInfo info(m_folders.toHost(path));
    if (!info.exists()) {
        fail(QStringLiteral("File not found"), path);
        return;
    }
    if (!info.isFile()) {
        fail(QStringLiteral("Not a file"), path);
        return;
    }
    const QDateTime modified = info.lastModified();
    if (index >= m_list.fileDatesSize()) {
        fail(QStringLiteral("Subscript out of range"), path);
        return;
    }
    if (m_list.fileDate(index) == modified)
        return;

    // Entries unchecked meanwhile and files that could not be read are not posted as empty
    // profiles; their time stays, so they are tried again at their next turn.
    if (!m_list.isChecked(index))
        return;
    QByteArray profile = m_profiles.LoadDataFromHardDrive(index);
    if (profile.isEmpty() && info.size() > 0)
        return;

    const UploadResult result = m_uploader.post(std::move(profile));
    const QString entry = m_list.text(index);
    if (!result || result->status >= 400) {
        const QString why = result ? u"the site answered HTTP %1"_s.arg(result->status) : result.error();
        m_log.AddMessage(
            u"Profile for "_s + entry + u" changed but could not be uploaded: "_s + why + u" (will try again)"_s);
        return;
    }
    m_log.AddMessage(u"Profile for "_s + entry + u" changed and was uploaded"_s);
    m_list.setFileDate(index, modified);
}

} // namespace rostrel
