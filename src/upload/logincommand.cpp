#include "upload/logincommand.h"

#include "catalogue/characterlist.h"
#include "catalogue/profiles.h"
#include "core/formview.h"
#include "core/seams.h"
#include "http/nestingguard.h"
#include "upload/uploader.h"
#include "upload/watcher.h"

using namespace Qt::Literals::StringLiterals;

namespace rostrel {

LoginCommand::LoginCommand(FormView& view, Uploader& uploader, CharacterList& list, ProfileReader& profiles,
    Watcher& watcher, Dialogs& dialogs, MessageSink& log, std::function<void()> saveSettings)
    : m_view(view)
    , m_uploader(uploader)
    , m_list(list)
    , m_profiles(profiles)
    , m_watcher(watcher)
    , m_dialogs(dialogs)
    , m_log(log)
    , m_saveSettings(std::move(saveSettings))
{ }

QString LoginCommand::normaliseAddress(const QString& typed)
{
    // Only the space character is trimmed (QString::trimmed would take tabs and line breaks too).
    QString text = typed;
    while (text.startsWith(u' '))
        text.remove(0, 1);
    while (text.endsWith(u' '))
        text.chop(1);
    text.remove(u' ');
    text.replace(u'\\', u'/');
    QString scheme;
    if (text.left(7).toLower() == u"http://") {
        text.remove(0, 7);
    } else if (text.left(8).toLower() == u"https://") {
        scheme = QStringLiteral("https://");
        text.remove(0, 8);
    }
    const qsizetype slash = text.indexOf(u'/');
    if (slash >= 0)
        text.truncate(slash);
    if (!scheme.isEmpty() && !text.isEmpty())
        return scheme + text;
    return text;
}

void LoginCommand::Command1_Click()
{
    const NestingGuard guard(m_running);
    if (!guard.entered())
        return; // a login is already under way
    if (m_view.login().isEmpty()) {
        m_dialogs.message(QStringLiteral("Please enter your login name for your website"));
        return;
    }
    if (m_view.password().isEmpty()) {
        m_dialogs.message(QStringLiteral("Please enter your password for your website"));
        return;
    }
    if (m_view.url().isEmpty()) {
        m_dialogs.message(QStringLiteral("Please enter the URL of your website"));
        return;
    }
    m_view.setUrl(normaliseAddress(m_view.url()));
    if (m_saveSettings)
        m_saveSettings();

    m_list.GetNextListIndexnoupload();
    const QString reply = m_uploader.GetXML(u"POST"_s, m_profiles.LoadDataFromHardDrive(m_list.WatchIndex()));

    m_log.replaceText(reply);
    if (reply == kReplyInvalidLogin) {
        m_dialogs.message(kReplyInvalidLogin);
    } else if (reply == kReplyUploaded) {
        m_view.minimizeWindow();
        m_watcher.start();
        m_view.setInputsEnabled(false);
        m_view.setLogOutEnabled(true);
        m_log.AddMessage(QStringLiteral("Successfully logged in"));
    } else {
        m_dialogs.message(QStringLiteral("Invalid URL.  Please make sure you've entered it correctly"));
    }
}

} // namespace rostrel
