#pragma once
// The "OK" button: checks the inputs, tidies the address down to the host, saves the settings and
// proves the login by posting the next checked profile. "Inventory Uploaded" logs the user in.

#include <QString>
#include <functional>

namespace rostrel {

class FormView;
class Uploader;
class CharacterList;
class ProfileReader;
class Dialogs;
class MessageSink;
class Watcher;

class LoginCommand
{
public:
    LoginCommand(FormView& view, Uploader& uploader, CharacterList& list, ProfileReader& profiles, Watcher& watcher,
        Dialogs& dialogs, MessageSink& log, std::function<void()> saveSettings);

    void Command1_Click();
    // True while a login is under way, waiting for its reply (a second press is ignored then).
    bool isRunning() const { return m_running; }

    // Spaces removed, "\" made "/", "http://" dropped, anything from the first "/" on dropped.
    // An address typed with "https://" keeps that scheme in front of the host.
    static QString normaliseAddress(const QString& typed);

private:
    FormView& m_view;
    Uploader& m_uploader;
    CharacterList& m_list;
    ProfileReader& m_profiles;
    Watcher& m_watcher;
    Dialogs& m_dialogs;
    MessageSink& m_log;
    std::function<void()> m_saveSettings;
    bool m_running = false;
};

} // namespace rostrel
