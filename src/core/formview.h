#pragma once
// The controls of the main window that the subsystems read and change, seen without widgets.
// The main window implements it; tests use a plain fake.

#include <QString>

namespace rostrel {

class FormView
{
public:
    virtual ~FormView() = default;

    virtual QString url() const = 0;
    virtual void setUrl(const QString& text) = 0;
    virtual QString login() const = 0;
    virtual void setLogin(const QString& text) = 0;
    virtual QString password() const = 0;
    virtual void setPassword(const QString& text) = 0;

    // "Remember Password". Changing the value runs the box's change handler, as a click does;
    // setting the value it already has runs nothing.
    virtual bool rememberPassword() const = 0;
    virtual void setRememberPassword(bool checked) = 0;

    // "Run on Startup". Same rule as above.
    virtual bool startWithWindows() const = 0;
    virtual void setStartWithWindows(bool checked) = 0;

    virtual void focusLogin() = 0;
    virtual void focusPassword() = 0;

    // Login state: URL, Login, Password and "OK" together; "Log Out" on its own.
    virtual void setInputsEnabled(bool enabled) = 0;
    virtual void setLogOutEnabled(bool enabled) = 0;
    // Minimizing hides the window into the tray (where there is one).
    virtual void minimizeWindow() = 0;
};

} // namespace rostrel
