#include "settings/settingsfiles.h"

#include "core/fileio.h"
#include "core/formview.h"
#include "core/seams.h"
#include "core/textlines.h"

#include <QDir>

namespace rostrel {

namespace {

const QString kRememberWarning = QStringLiteral(
    "Warning! This is a security risk because your password will be stored on you hard drive.  Are you sure you "
    "want to have the program remember your password?");
const QString kWarningTitle = QStringLiteral("Warning!");

// settings.txt holds three short lines; anything near this size is not ours.
constexpr qint64 kMaxSettingsBytes = 16 * 1024 * 1024;

QString crlfLine(const QString& text)
{
    return text + QStringLiteral("\r\n");
}

} // namespace

SettingsFiles::SettingsFiles(FormView& view, CharacterList& list, Dialogs& dialogs, const QString& folder)
    : m_view(view)
    , m_list(list)
    , m_dialogs(dialogs)
    , m_folder(folder)
{ }

bool SettingsFiles::LoadSettings()
{
    // Read whole and closed before the boxes are filled: filling them saves, and Windows refuses
    // to replace a file that is still open. The three values are single-line texts, so a lone LF
    // (a file saved by a Unix editor) ends a line here too.
    QList<QByteArray> lines;
    if (const auto bytes = io::readFile(QDir(m_folder).filePath(kSettingsFile), kMaxSettingsBytes))
        lines = splitLines(io::decodeLocalText(*bytes).toUtf8(), true);
    const auto line = [&lines](int i) { return i < lines.size() ? QString::fromUtf8(lines.at(i)) : QString(); };

    m_view.setLogin(line(0));
    m_view.setUrl(line(1));
    m_view.setPassword(line(2));

    m_loadingSettings = true;
    m_view.setRememberPassword(!m_view.password().isEmpty());
    m_loadingSettings = false;

    if (m_view.login().isEmpty())
        m_view.focusLogin();
    else
        m_view.focusPassword();

    return !m_view.password().isEmpty() && !m_view.url().isEmpty() && !m_view.login().isEmpty();
}

void SettingsFiles::SaveSettings()
{
    // A failed write leaves the old file as it was; neither failure stops the other file.
    const QByteArray settings = io::encodeLocalText(crlfLine(m_view.login()) + crlfLine(m_view.url())
        + crlfLine(m_view.rememberPassword() ? m_view.password() : QString()));
    // Owner-only (it may hold the password), set before a byte is written.
    (void)io::writeFileAtomically(
        QDir(m_folder).filePath(kSettingsFile), settings, QFileDevice::ReadOwner | QFileDevice::WriteOwner);
    (void)m_list.SaveNoUpload(m_folder);
}

void SettingsFiles::RememberPassword_Click()
{
    if (!m_loadingSettings && m_view.rememberPassword()) {
        const BoxAnswer answer
            = m_dialogs.show({ kRememberWarning, kWarningTitle, BoxIcon::Question, BoxButtons::YesNo });
        if (answer == BoxAnswer::No)
            m_view.setRememberPassword(false);
    }
    SaveSettings();
}

} // namespace rostrel
