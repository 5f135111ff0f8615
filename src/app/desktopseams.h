#pragma once
// The real message boxes and the real end of the program.

#include "core/seams.h"

#include <functional>

class QWidget;

namespace rostrel {

class WidgetDialogs final : public Dialogs
{
public:
    explicit WidgetDialogs(QWidget* parent = nullptr)
        : m_parent(parent)
    { }
    void setParent(QWidget* parent) { m_parent = parent; }
    BoxAnswer show(const MessageBoxRequest& box) override;
    void notice(const MessageBoxRequest& box) override;

private:
    QWidget* m_parent;
};

class WidgetFolderPicker final : public FolderPicker
{
public:
    QString chooseFolder(const QString& title) override;
};

class ProcessExit final : public ProgramExit
{
public:
    [[noreturn]] void exitNow(int code) override;
    // Runs just before the program ends (the program's lock is let go).
    void setBeforeExit(std::function<void()> beforeExit) { m_beforeExit = std::move(beforeExit); }

private:
    std::function<void()> m_beforeExit;
};

} // namespace rostrel
