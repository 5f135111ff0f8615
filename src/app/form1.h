#pragma once
// The main window: its controls, laid out in twips and converted to pixels, and the window rules
// (minimizing or closing hides it into the tray). It owns no logic of its own: the program object
// connects its controls to the subsystems.

#include "core/formview.h"

#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QListView>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QTimer>
#include <QWidget>
#include <chrono>

namespace rostrel {

// 15 twips to a pixel at 96 dpi.
constexpr int twips(int value)
{
    return (value + 7) / 15;
}

inline const QString kFormCaption = QStringLiteral("Rostrel Profile Uploader");
inline const QString kSiteName = QStringLiteral("Varnhold");
// How long after the desktop's commit-data request a close still ends the program.
inline constexpr std::chrono::milliseconds kSessionEndLasting { 10000 };

// A text box that selects its whole text when it receives the focus.
class SelectAllLineEdit : public QLineEdit
{
    Q_OBJECT
public:
    using QLineEdit::QLineEdit;

protected:
    void focusInEvent(QFocusEvent* event) override;
};

class Form1 : public QWidget, public FormView
{
    Q_OBJECT
public:
    explicit Form1(const QString& demoSite, QWidget* parent = nullptr);

    // Whether minimizing and closing hide the window (only where a tray can bring it back).
    void setTrayAvailable(bool available) { m_trayAvailable = available; }
    bool trayAvailable() const { return m_trayAvailable; }

    // Shows the list or, when it has no entries, the notice in its place.
    void showCharacters(bool hasEntries);
    void showLogText(const QString& text);

    // FormView
    QString url() const override { return URL->text(); }
    void setUrl(const QString& text) override { URL->setText(text); }
    QString login() const override { return Login->text(); }
    void setLogin(const QString& text) override { Login->setText(text); }
    QString password() const override { return Password->text(); }
    void setPassword(const QString& text) override { Password->setText(text); }
    bool rememberPassword() const override { return RememberPassword->isChecked(); }
    void setRememberPassword(bool checked) override { RememberPassword->setChecked(checked); }
    bool startWithWindows() const override { return StartWithWindows->isChecked(); }
    void setStartWithWindows(bool checked) override { StartWithWindows->setChecked(checked); }
    void focusLogin() override { Login->setFocus(); }
    void focusPassword() override { Password->setFocus(); }
    void setInputsEnabled(bool enabled) override;
    void setLogOutEnabled(bool enabled) override { Command3->setEnabled(enabled); }
    void minimizeWindow() override;

    // The desktop session is ending: a close request then ends the program. Qt says when a session
    // starts to end but not when another program cancelled it, so the state lasts only as long as
    // a session takes to end; after that a close hides the window again.
    void setSessionEnding(std::chrono::milliseconds lasting = kSessionEndLasting);
    bool sessionEnding() const { return m_sessionEnding; }

    // The first show centres the window on the screen that holds the mouse pointer.
    void setVisible(bool visible) override;

    QLabel* Label5;
    QLabel* Label7;
    QLabel* Label4;
    SelectAllLineEdit* URL;
    QLabel* Label8;
    QLabel* Label2;
    SelectAllLineEdit* Login;
    QLabel* Label3;
    SelectAllLineEdit* Password;
    QCheckBox* RememberPassword;
    QCheckBox* StartWithWindows;
    QLabel* Label9;
    QLabel* Label1;
    QListView* Characters;
    QLabel* NoChars;
    QPushButton* Command2;
    QPushButton* Command3;
    QPushButton* Command1;
    QLabel* Label6;
    QPlainTextEdit* Data;

Q_SIGNALS:
    void sessionEndingClose();

protected:
    void changeEvent(QEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    void keyPressEvent(QKeyEvent* event) override;

private:
    void centreOnScreen();

    bool m_trayAvailable = true;
    bool m_sessionEnding = false;
    QTimer m_sessionEndTimer;
    bool m_placed = false;
};

} // namespace rostrel
