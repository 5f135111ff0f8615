#pragma once
// settings.txt (login, address, remembered password) and noupload.txt (unchecked entries), in
// the settings folder, every line ended by CR LF. Both are written atomically; settings.txt is
// readable by its owner only.

#include "catalogue/characterlist.h"

#include <QString>

namespace rostrel {

class FormView;
class Dialogs;

inline const QString kSettingsFile = QStringLiteral("settings.txt");

class SettingsFiles
{
public:
    SettingsFiles(FormView& view, CharacterList& list, Dialogs& dialogs, const QString& folder);

    // Fills the boxes from settings.txt. Returns true when login, address and password are all
    // non-empty: the caller then runs the login command.
    bool LoadSettings();
    void SaveSettings();
    // Change handler of the "Remember Password" box.
    void RememberPassword_Click();

    QString folder() const { return m_folder; }

private:
    FormView& m_view;
    CharacterList& m_list;
    Dialogs& m_dialogs;
    QString m_folder;
    bool m_loadingSettings = false;
};

} // namespace rostrel
