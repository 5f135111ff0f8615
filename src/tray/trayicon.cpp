#include "tray/trayicon.h"

#include <utility>

namespace rostrel {

TrayIcon::TrayIcon(QWidget& mainWindow, const QIcon& icon, QObject* parent)
    : QObject(parent)
    , m_window(mainWindow)
    , m_iconImage(icon)
{ }

void TrayIcon::InitTrayIcon()
{
    if (m_icon)
        return;
    m_icon = new QSystemTrayIcon(m_iconImage, this);
    m_icon->setToolTip(kTrayTip);
    connect(m_icon, &QSystemTrayIcon::activated, this, &TrayIcon::activated);
}

void TrayIcon::AddTrayIcon()
{
    if (!m_icon)
        return;
    m_icon->show();
    if (!m_pendingNotice.isEmpty())
        notify(std::exchange(m_pendingNotice, QString()));
}

void TrayIcon::notify(const QString& text)
{
    if (!isShown()) {
        m_pendingNotice = text;
        return;
    }
    m_icon->showMessage(kTrayTip, text);
    Q_EMIT notified(text);
}

void TrayIcon::RemoveTrayIcon()
{
    if (m_icon)
        m_icon->hide();
}

void TrayIcon::activated(QSystemTrayIcon::ActivationReason reason)
{
    switch (reason) {
    case QSystemTrayIcon::Trigger:
        Form_MouseMove(LeftButtonUp);
        break;
    case QSystemTrayIcon::DoubleClick:
        Form_MouseMove(LeftButtonDoubleClick);
        Form_MouseMove(LeftButtonUp);
        break;
    case QSystemTrayIcon::Context:
        Form_MouseMove(RightButtonUp);
        break;
    default:
        break;
    }
}

void TrayIcon::Form_MouseMove(int message)
{
    if (message == LeftButtonUp || message == LeftButtonDoubleClick || message == RightButtonUp)
        ToggleMainWindow();
}

void TrayIcon::ToggleMainWindow()
{
    if (m_window.isVisible())
        m_window.hide();
    else
        showMainWindow();
}

void TrayIcon::showMainWindow()
{
    m_window.setWindowState(m_window.windowState() & ~(Qt::WindowMinimized | Qt::WindowMaximized));
    m_window.show();
    m_window.raise();
    m_window.activateWindow();
}

} // namespace rostrel
