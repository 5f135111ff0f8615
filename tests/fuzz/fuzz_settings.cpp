// settings.txt and noupload.txt as someone else's editor may have left them. What is loaded and
// saved again must load the same: login, address and password, and the unchecked entries.

#include "catalogue/characterlist.h"
#include "fakes.h"
#include "fuzzsupport.h"
#include "settings/settingsfiles.h"

using namespace rostrel;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size)
{
    const auto [settings, noUpload] = fuzz::splitAtNul(fuzz::bytes(data, size));
    fuzz::writeScratch(QStringLiteral("settings/settings.txt"), settings);
    fuzz::writeScratch(QStringLiteral("settings/noupload.txt"), noUpload);
    const QString folder = fuzz::scratch() + QStringLiteral("/settings");

    // Entries named like the lines of noupload.txt, and one that none names.
    CharacterList list;
    for (const QByteArray& line : noUpload.split('\r').mid(0, 8)) {
        const QString text = QString::fromUtf8(line).trimmed();
        if (!text.isEmpty() && !list.InListAlready({ {}, text }))
            list.append({ {}, text });
    }
    list.append({ {}, QStringLiteral("KESTREL77\\Mossgate\\Tovrin") });
    list.CompareToHardDrive(folder);
    const QStringList unchecked = fakes::uncheckedTexts(list);

    fakes::FakeFormView view;
    fakes::FakeDialogs dialogs;
    SettingsFiles files(view, list, dialogs, folder);
    const bool login = files.LoadSettings();
    FUZZ_CHECK(dialogs.shown.isEmpty());
    FUZZ_CHECK(login == (!view.login().isEmpty() && !view.url().isEmpty() && !view.password().isEmpty()));
    const QString loaded[] = { view.login(), view.url(), view.password() };
    for (const QString& value : loaded)
        FUZZ_CHECK(!value.contains(u'\r') && !value.contains(u'\n'));

    files.SaveSettings();
    fakes::FakeFormView again;
    SettingsFiles reread(again, list, dialogs, folder);
    reread.LoadSettings();
    FUZZ_CHECK(again.login() == loaded[0] && again.url() == loaded[1] && again.password() == loaded[2]);
    list.CompareToHardDrive(folder);
    FUZZ_CHECK(fakes::uncheckedTexts(list) == unchecked);
    return 0;
}
