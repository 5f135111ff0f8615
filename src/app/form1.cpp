#include "app/form1.h"

#include "app/fontfit.h"

#include <QCloseEvent>
#include <QCursor>
#include <QEvent>
#include <QFocusEvent>
#include <QGuiApplication>
#include <QKeyEvent>
#include <QScreen>
#include <QScrollBar>
#include <QStyle>
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
    m_sessionEndTimer.setSingleShot(true);
    connect(&m_sessionEndTimer, &QTimer::timeout, this, [this] { m_sessionEnding = false; });
    setObjectName(QStringLiteral("Form1"));
    setWindowTitle(kFormCaption);
    setFixedSize(twips(5295), twips(6990));

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

    // The layout's face is "MS Sans Serif" 8.25 pt, with bold titles and a 12 pt notice. Each group of
    // controls that shares a font gets the first face in which all of its texts fit their places.
    setFont(fitFont({ Label7, Label4, Label8, Label2, Label3, RememberPassword, StartWithWindows, Label1, Command2,
                        Command3, Command1, Label6 },
        8.25, false));
    fitFont({ Label5 }, 9.75, true);
    fitFont({ Label9 }, 8.25, true);
    fitFont({ NoChars }, 12, true);

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

void Form1::setSessionEnding(std::chrono::milliseconds lasting)
{
    m_sessionEnding = true;
    // A desktop that went on without ending the session (another program refused the log-off)
    // gets here with the program still running: the close box and Alt+F4 hide the window again.
    m_sessionEndTimer.start(lasting);
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
    // Enter clicks the focused push button, as in a dialog; from anywhere else it clicks "OK".
    // A focused button other than "OK" passes Enter on to here, since only "OK" is the default.
    if (event->key() == Qt::Key_Return || event->key() == Qt::Key_Enter) {
        auto* focused = qobject_cast<QPushButton*>(focusWidget());
        QPushButton* target = focused && focused->isEnabled() ? focused : Command1;
        if (target->isEnabled()) {
            target->click();
            return;
        }
    }
    QWidget::keyPressEvent(event);
}

void Form1::setVisible(bool visible)
{
    // Placed once, before the first show; later shows keep where the player left the window.
    if (visible && !m_placed && !testAttribute(Qt::WA_Moved))
        centreOnScreen();
    if (visible)
        m_placed = true;
    QWidget::setVisible(visible);
}

void Form1::centreOnScreen()
{
    QScreen* screen = QGuiApplication::screenAt(QCursor::pos());
    if (!screen)
        screen = QGuiApplication::primaryScreen();
    if (!screen)
        return;
    setScreen(screen);
    move(QStyle::alignedRect(Qt::LeftToRight, Qt::AlignCenter, size(), screen->availableGeometry()).topLeft());
}

} // namespace rostrel
