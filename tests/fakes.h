#pragma once
// Test doubles for the program's seams and platform layers, shared by the unit tests.
// Header-only and free of QtTest so that benchmarks can use them too.

#include "catalogue/characterlist.h"
#include "core/autostart.h"
#include "core/browser.h"
#include "core/formview.h"
#include "core/gamekey.h"
#include "core/pathlayer.h"
#include "core/registry.h"
#include "core/seams.h"
#include "platform/backends.h"

#include <QDateTime>
#include <QDir>
#include <QFileInfo>
#include <QList>
#include <QString>
#include <QStringList>
#include <QTemporaryDir>
#include <functional>
#include <map>
#include <string>
#include <tuple>

namespace rostrel::fakes {

// Registry held in memory. Key paths and value names are matched without regard to case, as
// the Windows registry does. Counts reads so tests can see how often the registry is asked.
class FakeRegistry : public registry::Registry
{
public:
    registry::Value ReadRegValue(registry::Hive hive, const std::string& keyPath, const std::string& valueName) override
    {
        ++reads;
        const auto it = values.find(key(hive, keyPath, valueName));
        return it == values.end() ? registry::Value {} : it->second;
    }
    long SaveRegString(
        registry::Hive hive, const std::string& keyPath, const std::string& valueName, const std::string& text) override
    {
        if (failWrites)
            return 5; // ERROR_ACCESS_DENIED
        values[key(hive, keyPath, valueName)] = text;
        return 0;
    }
    long RemoveRegValue(registry::Hive hive, const std::string& keyPath, const std::string& valueName) override
    {
        if (failWrites)
            return 5;
        values.erase(key(hive, keyPath, valueName));
        return 0;
    }

    void set(registry::Hive hive, const QString& keyPath, const QString& valueName, registry::Value value)
    {
        values[key(hive, keyPath.toStdString(), valueName.toStdString())] = std::move(value);
    }
    registry::Value get(registry::Hive hive, const QString& keyPath, const QString& valueName) const
    {
        const auto it = values.find(key(hive, keyPath.toStdString(), valueName.toStdString()));
        return it == values.end() ? registry::Value {} : it->second;
    }
    // The game's install path under HKEY_LOCAL_MACHINE (UTF-8 like the real backends).
    void setInstallPath(const QString& folder)
    {
        set(registry::kLocalMachine, QString::fromLatin1(kGameKey), QString::fromLatin1(kInstallPathValue),
            folder.toStdString());
    }
    void clearInstallPath()
    {
        set(registry::kLocalMachine, QString::fromLatin1(kGameKey), QString::fromLatin1(kInstallPathValue),
            registry::Value {});
    }

    using Key = std::tuple<registry::Hive, std::string, std::string>;
    std::map<Key, registry::Value> values;
    int reads = 0;
    bool failWrites = false;

private:
    static Key key(registry::Hive hive, const std::string& keyPath, const std::string& valueName)
    {
        return { hive, QString::fromStdString(keyPath).toUpper().toStdString(),
            QString::fromStdString(valueName).toUpper().toStdString() };
    }
};

// Maps game paths onto a host folder: "C:\" becomes <root>/ (other drive letters <root>/<x>/),
// backslashes become slashes, doubled separators count as one. Like the game's platform, a
// component that exists in another letter case is found (unless caseSensitive is set).
class FakePathLayer : public PathLayer
{
public:
    explicit FakePathLayer(QString root)
        : m_root(std::move(root))
    { }

    FolderListing list(const QString& hostPath) const override { return listFolder(hostPath); }

    QString toHost(const QString& gamePath) const override
    {
        ++calls;
        QString rest = gamePath;
        QString host = m_root;
        if (rest.size() >= 2 && rest.at(1) == QLatin1Char(':')) {
            const QChar drive = rest.at(0).toLower();
            if (drive != QLatin1Char('c'))
                host += QLatin1Char('/') + drive;
            rest = rest.mid(2);
        }
        const QStringList parts = rest.split(QLatin1Char('\\'), Qt::SkipEmptyParts);
        bool onDisk = true;
        for (const QString& part : parts) {
            QString name = part;
            if (onDisk && !caseSensitive && !QFileInfo::exists(host + QLatin1Char('/') + part)) {
                const QStringList names
                    = QDir(host).entryList(QDir::AllEntries | QDir::Hidden | QDir::System | QDir::NoDotAndDotDot);
                for (const QString& candidate : names) {
                    if (candidate.compare(part, Qt::CaseInsensitive) == 0) {
                        name = candidate;
                        break;
                    }
                }
            }
            host += QLatin1Char('/') + name;
            onDisk = onDisk && QFileInfo::exists(host);
        }
        return host;
    }

    QString root() const { return m_root; }
    bool caseSensitive = false;
    mutable int calls = 0;

private:
    QString m_root;
};

// Message boxes with scripted answers. Every box shown is recorded. With no answer left, an OK
// box answers Ok and a Yes/No box answers No.
class FakeDialogs : public Dialogs
{
public:
    BoxAnswer show(const MessageBoxRequest& box) override
    {
        shown.append(box);
        if (onShow)
            onShow(box);
        if (!answers.isEmpty())
            return answers.takeFirst();
        return box.buttons == BoxButtons::Ok ? BoxAnswer::Ok : BoxAnswer::No;
    }

    QList<BoxAnswer> answers;
    QList<MessageBoxRequest> shown;
    std::function<void(const MessageBoxRequest&)> onShow;
};

// Records the exit and throws ProgramExited so the calling code stops where the program would.
class FakeExit : public ProgramExit
{
public:
    [[noreturn]] void exitNow(int code) override
    {
        codes.append(code);
        throw ProgramExited { code };
    }
    QList<int> codes;
};

// Collects log lines in the order they were written. text() is newest first, one line each,
// without the time stamp the real log adds.
class FakeLog : public MessageSink
{
public:
    void AddMessage(const QString& msg) override
    {
        messages.append(msg);
        m_text = msg + QStringLiteral("\r\n") + m_text;
    }
    void replaceText(const QString& text) override
    {
        replaced.append(text);
        m_text = text;
    }
    QString text() const override { return m_text; }

    QStringList messages;
    QStringList replaced;

private:
    QString m_text;
};

class FakeClock : public Clock
{
public:
    QDateTime now() const override { return time; }
    std::chrono::steady_clock::time_point steadyNow() const override { return steady; }
    QDateTime time = QDateTime(QDate(2024, 1, 2), QTime(3, 4, 5));
    std::chrono::steady_clock::time_point steady;
};

// The machine's clocks, which a test moves on instead of waiting: files it writes carry real times.
class ForwardClock : public Clock
{
public:
    QDateTime now() const override { return QDateTime::currentDateTime().addMSecs(ahead.count()); }
    std::chrono::steady_clock::time_point steadyNow() const override
    {
        if (onSteadyRead)
            onSteadyRead();
        return std::chrono::steady_clock::now() + ahead;
    }
    std::chrono::milliseconds ahead { 0 };
    std::function<void()> onSteadyRead; // lets a test act at the moment the watcher reads the clock
};

// The main window's controls as plain fields. Changing a check box's value runs its handler,
// as a click on the real box does; setting the value it already has runs nothing.
class FakeFormView : public FormView
{
public:
    QString url() const override { return m_url; }
    void setUrl(const QString& text) override { m_url = text; }
    QString login() const override { return m_login; }
    void setLogin(const QString& text) override { m_login = text; }
    QString password() const override { return m_password; }
    void setPassword(const QString& text) override { m_password = text; }

    bool rememberPassword() const override { return m_rememberPassword; }
    void setRememberPassword(bool checked) override
    {
        if (checked == m_rememberPassword)
            return;
        m_rememberPassword = checked;
        if (onRememberPasswordChanged)
            onRememberPasswordChanged();
    }
    bool startWithWindows() const override { return m_startWithWindows; }
    void setStartWithWindows(bool checked) override
    {
        if (checked == m_startWithWindows)
            return;
        m_startWithWindows = checked;
        if (onStartWithWindowsChanged)
            onStartWithWindowsChanged();
    }

    void focusLogin() override { focus.append(QStringLiteral("Login")); }
    void focusPassword() override { focus.append(QStringLiteral("Password")); }
    void setInputsEnabled(bool enabled) override { inputsEnabled = enabled; }
    void setLogOutEnabled(bool enabled) override { logOutEnabled = enabled; }
    void minimizeWindow() override { ++minimized; }

    std::function<void()> onRememberPasswordChanged;
    std::function<void()> onStartWithWindowsChanged;
    QStringList focus; // "Login" / "Password", in the order asked for
    bool inputsEnabled = true;
    bool logOutEnabled = false;
    int minimized = 0;

private:
    QString m_url;
    QString m_login;
    QString m_password;
    bool m_rememberPassword = false;
    bool m_startWithWindows = false;
};

// A start-up entry held in memory. Set enableError / disableError to make the next writes fail.
class FakeAutostart : public Autostart
{
public:
    bool isInStartup() override
    {
        ++checks;
        return present;
    }
    Result<void> enable() override
    {
        ++enables;
        if (!enableError.empty())
            return Failure { QString::fromStdString(enableError) };
        present = true;
        return {};
    }
    Result<void> disable() override
    {
        ++disables;
        if (!disableError.empty())
            return Failure { QString::fromStdString(disableError) };
        present = false;
        return {};
    }

    bool present = false;
    std::string enableError;
    std::string disableError;
    int checks = 0;
    int enables = 0;
    int disables = 0;
};

// Records the addresses it is asked to open; works says whether a browser "starts".
class FakeBrowser : public BrowserOpener
{
public:
    BrowserResult open(const std::string& url) override
    {
        opened.append(QString::fromStdString(url));
        return works ? BrowserResult::Started : BrowserResult::NoBrowser;
    }
    QStringList opened;
    bool works = true;
};

// A game folder in a temporary folder and the fakes around GameFolders: the base of the fixtures.
struct GameWorld
{
    QTemporaryDir dir;
    FakeRegistry registry;
    FakePathLayer paths { dir.path() };
    FakeDialogs dialogs;
    FakeExit exit;
    FakeLog log;
    GameFolders folders { registry, paths, dialogs, exit, log };
};

// Texts of the list's unchecked entries, in list order.
inline QStringList uncheckedTexts(const CharacterList& list)
{
    QStringList texts;
    for (int i = 0; i < list.count(); ++i) {
        if (!list.isChecked(i))
            texts.append(list.text(i));
    }
    return texts;
}

} // namespace rostrel::fakes
