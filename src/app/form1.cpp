#include "app/form1.h"

#include <QCloseEvent>
#include <QEvent>
#include <QFocusEvent>
#include <QKeyEvent>
#include <QScrollBar>
#include <QTimer>

namespace rostrel {

void SelectAllLineEdit::focusInEvent(QFocusEvent* event)
{
    QLineEdit::focusInEvent(event);
    selectAll();
    // A mouse click that gave the focus places the cursor after this event; select again once it has.
    if (event->reason() == Qt::MouseFocusReason)
        QTimer::singleShot(0, this, [this] {
            if (hasFocus())
                selectAll();
        });
}

namespace {
QFont msSansSerif(qreal points, bool bold = false)
{
    QFont font(QStringLiteral("MS Sans Serif"));
    // Where the old bitmap font is missing, a face of the same narrow metrics keeps the texts
    // inside their fixed places.
    font.setFamilies({ QStringLiteral("MS Sans Serif"), QStringLiteral("Microsoft Sans Serif"), QStringLiteral("Arial"),
        QStringLiteral("Liberation Sans"), QStringLiteral("Helvetica"), QStringLiteral("DejaVu Sans Condensed") });
    font.setPointSizeF(points);
    font.setBold(bold);
    return font;
}

template <typename W> W* place(W* widget, int left, int top, int width, int height)
{
    widget->setGeometry(twips(left), twips(top), twips(width), twips(height));
    return widget;
}
} // namespace

Form1::Form1(const QString& demoSite, QWidget* parent)
    : QWidget(parent,
        Qt::Window | Qt::WindowTitleHint | Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint
            | Qt::WindowCloseButtonHint | Qt::MSWindowsFixedSizeDialogHint)
{
    setObjectName(QStringLiteral("Form1"));
    setWindowTitle(kFormCaption);
    setFixedSize(twips(5295), twips(6990));
    setFont(msSansSerif(8.25));

    const auto label = [this](const QString& name, const QString& text) {
        auto* l = new QLabel(text, this);
        l->setObjectName(name);
        return l;
    };
    const auto lineEdit = [this](const QString& name) {
        auto* e = new SelectAllLineEdit(this);
        e->setObjectName(name);
        return e;
    };

    Label5
        = place(label(QStringLiteral("Label5"), kSiteName + QStringLiteral("'s Profile Uploader")), 840, 0, 3735, 255);
    Label5->setFont(msSansSerif(9.75, true));
    Label7 = place(
        label(QStringLiteral("Label7"), QStringLiteral("Please enter your guild's website")), 1440, 360, 2415, 255);
    Label4 = place(label(QStringLiteral("Label4"), QStringLiteral("http://")), 480, 660, 495, 255);
    URL = place(lineEdit(QStringLiteral("URL")), 960, 600, 3615, 285);
    URL->setText(demoSite);
    Label8 = place(label(QStringLiteral("Label8"), QStringLiteral("Enter the Login and Password for your website:")),
        840, 1080, 3375, 255);
    Label2 = place(label(QStringLiteral("Label2"), QStringLiteral("Login")), 840, 1320, 735, 255);
    Label2->setAlignment(Qt::AlignRight | Qt::AlignTop);
    Login = place(lineEdit(QStringLiteral("Login")), 1680, 1320, 1455, 285);
    Label3 = place(label(QStringLiteral("Label3"), QStringLiteral("Password")), 720, 1680, 855, 255);
    Label3->setAlignment(Qt::AlignRight | Qt::AlignTop);
    Password = place(lineEdit(QStringLiteral("Password")), 1680, 1680, 1455, 285);
    Password->setEchoMode(QLineEdit::Password);
    Password->setStyleSheet(QStringLiteral("lineedit-password-character: 42;"));
    Password->setAttribute(Qt::WA_InputMethodEnabled, false);

    RememberPassword = place(new QCheckBox(QStringLiteral("Remember Password"), this), 3240, 1680, 1815, 255);
    RememberPassword->setObjectName(QStringLiteral("RememberPassword"));
    StartWithWindows = place(new QCheckBox(QStringLiteral("Run on Startup"), this), 3240, 1920, 1815, 255);
    StartWithWindows->setObjectName(QStringLiteral("StartWithWindows"));

    Label9 = place(label(QStringLiteral("Label9"), QStringLiteral("DO NOT ENTER YOUR WORLD OF WARCRAFT LOGIN INFO")), 0,
        2280, 5295, 255);
    Label9->setAlignment(Qt::AlignHCenter | Qt::AlignTop);
    Label9->setFont(msSansSerif(8.25, true));
    QPalette red = Label9->palette();
    red.setColor(QPalette::WindowText, QColor(255, 0, 0));
    Label9->setPalette(red);

    Label1 = place(label(QStringLiteral("Label1"),
                       QStringLiteral("Characters and Data (Please select all characters you wish to upload)")),
        120, 2640, 5055, 255);

    Characters = place(new QListView(this), 0, 2880, 5295, 1185);
    Characters->setObjectName(QStringLiteral("Characters"));
    Characters->setSelectionMode(QAbstractItemView::SingleSelection);
    Characters->setUniformItemSizes(true);

    NoChars = place(label(QStringLiteral("NoChars"),
                        QStringLiteral("Before any character information can be retrieved or uploaded, you must log "
                                       "into your WoW Characters.")),
        0, 2880, 5295, 1215);
    NoChars->setFont(msSansSerif(12, true));
    NoChars->setWordWrap(true);
    NoChars->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    NoChars->setFrameShape(QFrame::Box);
    NoChars->setAutoFillBackground(true);
    QPalette white = NoChars->palette();
    white.setColor(QPalette::Window, QColor(255, 255, 255));
    white.setColor(QPalette::WindowText, QColor(0, 0, 0));
    NoChars->setPalette(white);
    NoChars->hide();

    Command2 = place(new QPushButton(QStringLiteral("Exit Program"), this), 120, 4200, 1335, 375);
    Command2->setObjectName(QStringLiteral("Command2"));
    Command3 = place(new QPushButton(QStringLiteral("Log Out"), this), 2400, 4200, 1335, 375);
    Command3->setObjectName(QStringLiteral("Command3"));
    Command3->setEnabled(false);
    Command1 = place(new QPushButton(QStringLiteral("OK"), this), 3840, 4200, 1335, 375);
    Command1->setObjectName(QStringLiteral("Command1"));
    Command1->setDefault(true);
    for (QPushButton* button : { Command2, Command3, Command1 })
        button->setAutoDefault(false);
    Command1->setDefault(true);

    Label6 = place(label(QStringLiteral("Label6"), QStringLiteral("Messages")), 0, 4680, 855, 255);
    Data = place(new QPlainTextEdit(this), 0, 4920, 5295, 2055);
    Data->setObjectName(QStringLiteral("Data"));
    Data->setReadOnly(true);
    Data->setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOn);
    Data->setLineWrapMode(QPlainTextEdit::WidgetWidth);
    QFont courier(QStringLiteral("Courier New"));
    courier.setFamilies(
        { QStringLiteral("Courier New"), QStringLiteral("Liberation Mono"), QStringLiteral("DejaVu Sans Mono") });
    courier.setStyleHint(QFont::TypeWriter);
    courier.setPointSizeF(8.25);
    Data->setFont(courier);

    // Labels never take the focus; the log holds the first stop.
    for (QLabel* l : findChildren<QLabel*>())
        l->setFocusPolicy(Qt::NoFocus);
    setTabOrder(Data, URL);
    setTabOrder(URL, Login);
    setTabOrder(Login, Password);
    setTabOrder(Password, Characters);
    setTabOrder(Characters, Command2);
    setTabOrder(Command2, Command3);
    setTabOrder(Command3, Command1);
    setTabOrder(Command1, RememberPassword);
    setTabOrder(RememberPassword, StartWithWindows);
}

void Form1::showCharacters(bool hasEntries)
{
    Characters->setVisible(hasEntries);
    NoChars->setVisible(!hasEntries);
}

void Form1::showLogText(const QString& text)
{
    Data->setPlainText(text);
    Data->moveCursor(QTextCursor::Start);
    Data->verticalScrollBar()->setValue(0);
}

void Form1::setInputsEnabled(bool enabled)
{
    URL->setEnabled(enabled);
    Login->setEnabled(enabled);
    Password->setEnabled(enabled);
    Command1->setEnabled(enabled);
}

void Form1::minimizeWindow()
{
    setWindowState((windowState() & ~Qt::WindowMaximized) | Qt::WindowMinimized);
    if (m_trayAvailable)
        hide();
}

void Form1::changeEvent(QEvent* event)
{
    QWidget::changeEvent(event);
    if (event->type() == QEvent::WindowStateChange && (windowState() & Qt::WindowMinimized) && m_trayAvailable)
        QTimer::singleShot(0, this, [this] {
            if (windowState() & Qt::WindowMinimized)
                hide();
        });
}

void Form1::closeEvent(QCloseEvent* event)
{
    if (m_sessionEnding) {
        event->accept();
        Q_EMIT sessionEndingClose();
        return;
    }
    event->ignore();
    minimizeWindow();
}

void Form1::keyPressEvent(QKeyEvent* event)
{
    // Enter presses the default button wherever the focus is, as in a dialog.
    if ((event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) && Command1->isEnabled()) {
        Command1->click();
        return;
    }
    QWidget::keyPressEvent(event);
}

} // namespace rostrel
