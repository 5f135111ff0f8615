#include "upload/watcher.h"

#include "catalogue/characterlist.h"
#include "catalogue/discovery.h"
#include "catalogue/gamefolders.h"
#include "catalogue/profiles.h"
#include "core/seams.h"
#include "upload/uploader.h"

#include <QFileInfo>

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
    if (m_inTick)
        return;
    m_inTick = true;
    struct Done
    {
        Watcher* w;
        ~Done()
        {
            w->m_inTick = false;
            Q_EMIT w->tickFinished();
        }
    } done { this };

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
    if (result.failed || result.status >= 400) {
        const QString why
            = result.failed ? result.error : QStringLiteral("the site answered HTTP %1").arg(result.status);
        m_log.AddMessage(QStringLiteral("Profile for ") + entry + QStringLiteral(" changed but could not be uploaded: ")
            + why + QStringLiteral(" (will try again)"));
        return;
    }
    m_log.AddMessage(QStringLiteral("Profile for ") + entry + QStringLiteral(" changed and was uploaded"));
    m_list.setFileDate(index, modified);
}

} // namespace rostrel
