#pragma once
// The notification-area icon. A click on it hides the main window when it is shown and brings it
// back otherwise; there is no menu.

#include <QIcon>
#include <QObject>
#include <QPointer>
#include <QSystemTrayIcon>
#include <QWidget>

namespace rostrel {

inline const QString kTrayTip = QStringLiteral("RostrelUploader");

// The mouse messages the icon reports, as the Windows shell numbers them.
enum TrayMessage : int
{
    MouseMove = 512,
    LeftButtonDown = 513,
    LeftButtonUp = 514,
    LeftButtonDoubleClick = 515,
    RightButtonDown = 516,
    RightButtonUp = 517,
    RightButtonDoubleClick = 518,
};

class TrayIcon : public QObject
{
    Q_OBJECT
public:
    TrayIcon(QWidget& mainWindow, const QIcon& icon, QObject* parent = nullptr);

    void InitTrayIcon();
    void AddTrayIcon();
    void RemoveTrayIcon();
    // A notification balloon from the shown icon. One asked for before the icon is shown (start-up
    // tells of its login first) waits for it.
    void notify(const QString& text);
    bool isShown() const { return m_icon && m_icon->isVisible(); }
    QString toolTip() const { return m_icon ? m_icon->toolTip() : QString(); }

    // Toggles the main window on the release of either button and on a left double click.
    void Form_MouseMove(int message);
    void ToggleMainWindow();
    // Brings the main window back, as a click on the icon does when it is hidden.
    void showMainWindow();

    // Qt's activation reasons, turned into the messages above. A double click arrives as a click
    // then a double click; the double click stands for its own message and the second release,
    // so a double click ends with the window in the opposite state.
    void activated(QSystemTrayIcon::ActivationReason reason);

Q_SIGNALS:
    // A notification balloon went up.
    void notified(const QString& text);

private:
    QWidget& m_window;
    QString m_pendingNotice;
    QIcon m_iconImage;
    QPointer<QSystemTrayIcon> m_icon;
};

} // namespace rostrel
