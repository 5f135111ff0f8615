#include "app/desktopseams.h"

#include <QApplication>
#include <QDir>
#include <QFileDialog>
#include <QLoggingCategory>
#include <QMessageBox>
#include <QPushButton>
#include <cstdio>
#include <cstdlib>
#include <memory>

Q_LOGGING_CATEGORY(lcDialogs, "rostrel.dialog", QtInfoMsg)

namespace rostrel {

namespace {
QMessageBox* makeBox(const MessageBoxRequest& box, QWidget* mainWindow)
{
    qCInfo(lcDialogs).noquote() << box.title + QStringLiteral(": ") + box.text;
    QMessageBox::Icon icon = QMessageBox::NoIcon;
    switch (box.icon) {
    case BoxIcon::Critical:
        icon = QMessageBox::Critical;
        break;
    case BoxIcon::Question:
        icon = QMessageBox::Question;
        break;
    case BoxIcon::Exclamation:
        icon = QMessageBox::Warning;
        break;
    case BoxIcon::Information:
        icon = QMessageBox::Information;
        break;
    case BoxIcon::None:
        break;
    }
    const auto buttons = box.buttons == BoxButtons::YesNo ? (QMessageBox::Yes | QMessageBox::No)
                                                          : QMessageBox::StandardButtons(QMessageBox::Ok);
    // A hidden main window is no parent for a box: it would not show.
    auto* messageBox = new QMessageBox(
        icon, box.title, box.text, buttons, mainWindow && mainWindow->isVisible() ? mainWindow : nullptr);
    // Texts quote sites, files and folders: markup in them is shown, not obeyed.
    messageBox->setTextFormat(Qt::PlainText);
    return messageBox;
}
} // namespace

BoxAnswer WidgetDialogs::show(const MessageBoxRequest& box)
{
    std::unique_ptr<QMessageBox> messageBox(makeBox(box, m_parent));
    messageBox->setWindowModality(Qt::ApplicationModal);
    QPushButton* choose = nullptr;
    if (box.buttons == BoxButtons::OkChooseFolder)
        choose = messageBox->addButton(kChooseFolderButton, QMessageBox::ActionRole);
    const int answer = messageBox->exec();
    if (choose && messageBox->clickedButton() == choose)
        return BoxAnswer::ChooseFolder;
    if (box.buttons == BoxButtons::YesNo)
        return answer == QMessageBox::Yes ? BoxAnswer::Yes : BoxAnswer::No;
    return BoxAnswer::Ok;
}

void WidgetDialogs::notice(const MessageBoxRequest& box)
{
    QMessageBox* messageBox = makeBox(box, m_parent);
    messageBox->setAttribute(Qt::WA_DeleteOnClose);
    messageBox->setWindowModality(Qt::NonModal);
    messageBox->show();
}

QString WidgetFolderPicker::chooseFolder(const QString& title)
{
    return QDir::toNativeSeparators(QFileDialog::getExistingDirectory(nullptr, title));
}

void ProcessExit::exitNow(int code)
{
    if (m_beforeExit)
        m_beforeExit();
    // Every file is written whole within one operation, so nothing is left half done; end at once
    // without running any further handler.
    std::fflush(nullptr);
    std::_Exit(code);
}

} // namespace rostrel
