#pragma once
// The program's seams: everything that talks to the user, ends the program or reads the clock
// goes through these small interfaces, so tests can script and observe them.

#include <QDateTime>
#include <QString>
#include <chrono>

namespace rostrel {

// Title of every message box that names no title of its own.
inline const QString kAppTitle = QStringLiteral("Rostrel Uploader");

enum class BoxIcon
{
    None,
    Critical,
    Question,
    Exclamation,
    Information
};
enum class BoxButtons
{
    Ok,
    YesNo,
    OkChooseFolder // OK beside kChooseFolderButton
};
enum class BoxAnswer
{
    Ok,
    Yes,
    No,
    ChooseFolder
};

inline const QString kChooseFolderButton = QStringLiteral("Choose Folder\u2026");

struct MessageBoxRequest
{
    QString text;
    QString title = kAppTitle;
    BoxIcon icon = BoxIcon::None;
    BoxButtons buttons = BoxButtons::Ok;
};

// Shows a modal message box and returns the user's answer.
class Dialogs
{
public:
    virtual ~Dialogs() = default;
    virtual BoxAnswer show(const MessageBoxRequest& box) = 0;
    // Shows an OK box and goes on without waiting for it to be closed.
    virtual void notice(const MessageBoxRequest& box) { show(box); }

    // Convenience: an OK box without icon under the application title.
    void message(const QString& text) { show(MessageBoxRequest { text }); }
};

// For work that must not stop behind a box (start-up, the update check): its OK boxes stand while
// the program goes on; a question still waits for its answer.
class NonBlockingDialogs final : public Dialogs
{
public:
    explicit NonBlockingDialogs(Dialogs& inner)
        : m_inner(inner)
    { }
    BoxAnswer show(const MessageBoxRequest& box) override
    {
        if (box.buttons != BoxButtons::Ok)
            return m_inner.show(box);
        m_inner.notice(box);
        return BoxAnswer::Ok;
    }

private:
    Dialogs& m_inner;
};

// Lets the user pick a folder; the folder as the system names it, or empty when none was picked.
class FolderPicker
{
public:
    virtual ~FolderPicker() = default;
    virtual QString chooseFolder(const QString& title) = 0;
};

// Ends the program at once (the fatal paths). The real one never returns; a test double records
// the call and throws ProgramExited so that the calling code stops where the program would.
class ProgramExit
{
public:
    virtual ~ProgramExit() = default;
    [[noreturn]] virtual void exitNow(int code) = 0;
};

struct ProgramExited
{
    int code = 0;
};

// The message log that every subsystem writes to.
class MessageSink
{
public:
    virtual ~MessageSink() = default;
    virtual void AddMessage(const QString& msg) = 0;
    // Replaces the whole log text (the login command puts the server's reply there).
    virtual void replaceText(const QString& text) = 0;
    virtual QString text() const = 0;
};

// The clocks, redirected in tests: the wall clock (time stamps, file ages) and a clock that only
// goes forward (pauses and waits).
class Clock
{
public:
    virtual ~Clock() = default;
    virtual QDateTime now() const = 0;
    virtual std::chrono::steady_clock::time_point steadyNow() const = 0;
};

class SystemClock final : public Clock
{
public:
    QDateTime now() const override { return QDateTime::currentDateTime(); }
    std::chrono::steady_clock::time_point steadyNow() const override { return std::chrono::steady_clock::now(); }
};

} // namespace rostrel
