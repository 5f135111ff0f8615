#include "app/form1.h"
#include "tray/trayicon.h"

#include <QCloseEvent>
#include <QMap>
#include <QScreen>
#include <QSignalSpy>
#include <QTest>
#include <QWindow>

using namespace rostrel;

class TestForm1 : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void controlsAreWhereTheLayoutPutsThem_data()
    {
        QTest::addColumn<QString>("name");
        QTest::addColumn<QRect>("twipRect");
        QTest::addColumn<QString>("text");
        const auto row = [](const char* name, int l, int t, int w, int h, const QString& text) {
            QTest::newRow(name) << QString::fromLatin1(name) << QRect(l, t, w, h) << text;
        };
        row("Label5", 840, 0, 3735, 255, QStringLiteral("Varnhold's Profile Uploader"));
        row("Label7", 1440, 360, 2415, 255, QStringLiteral("Please enter your guild's website"));
        row("Label4", 480, 660, 495, 255, QStringLiteral("http://"));
        row("URL", 960, 600, 3615, 285, QStringLiteral("demo.site"));
        row("Label8", 840, 1080, 3375, 255, QStringLiteral("Enter the Login and Password for your website:"));
        row("Label2", 840, 1320, 735, 255, QStringLiteral("Login"));
        row("Login", 1680, 1320, 1455, 285, QString());
        row("Label3", 720, 1680, 855, 255, QStringLiteral("Password"));
        row("Password", 1680, 1680, 1455, 285, QString());
        row("RememberPassword", 3240, 1680, 1815, 255, QStringLiteral("Remember Password"));
        row("StartWithWindows", 3240, 1920, 1815, 255, QStringLiteral("Run on Startup"));
        row("Label9", 0, 2280, 5295, 255, QStringLiteral("DO NOT ENTER YOUR WORLD OF WARCRAFT LOGIN INFO"));
        row("Label1", 120, 2640, 5055, 255,
            QStringLiteral("Characters and Data (Please select all characters you wish to upload)"));
        row("Characters", 0, 2880, 5295, 1185, QString());
        row("NoChars", 0, 2880, 5295, 1215,
            QStringLiteral("Before any character information can be retrieved or uploaded, you must log into your WoW "
                           "Characters."));
        row("Command2", 120, 4200, 1335, 375, QStringLiteral("Exit Program"));
        row("Command3", 2400, 4200, 1335, 375, QStringLiteral("Log Out"));
        row("Command1", 3840, 4200, 1335, 375, QStringLiteral("OK"));
        row("Label6", 0, 4680, 855, 255, QStringLiteral("Messages"));
        row("Data", 0, 4920, 5295, 2055, QString());
    }
    void controlsAreWhereTheLayoutPutsThem()
    {
        QFETCH(QString, name);
        QFETCH(QRect, twipRect);
        QFETCH(QString, text);
        Form1 form(QStringLiteral("demo.site"));
        auto* widget = form.findChild<QWidget*>(name);
        QVERIFY(widget);
        QCOMPARE(widget->geometry(),
            QRect(twips(twipRect.x()), twips(twipRect.y()), twips(twipRect.width()), twips(twipRect.height())));
        if (auto* label = qobject_cast<QLabel*>(widget))
            QCOMPARE(label->text(), text);
        else if (auto* button = qobject_cast<QAbstractButton*>(widget))
            QCOMPARE(button->text(), text);
        else if (auto* edit = qobject_cast<QLineEdit*>(widget))
            QCOMPARE(edit->text(), text);
    }

    void designTimeSettings()
    {
        Form1 form(QStringLiteral("demo.site"));
        QCOMPARE(form.windowTitle(), QStringLiteral("Rostrel Profile Uploader"));
        QCOMPARE(form.size(), QSize(353, 466));
        QCOMPARE(form.minimumSize(), form.maximumSize());
        QVERIFY(!(form.windowFlags() & Qt::WindowMaximizeButtonHint));
        QVERIFY(form.Command1->isDefault());
        QVERIFY(!form.Command3->isEnabled());
        QVERIFY(form.Data->isReadOnly());
        QVERIFY(!form.RememberPassword->isChecked());
        QVERIFY(!form.StartWithWindows->isChecked());
        QVERIFY(form.NoChars->isHidden());
        QCOMPARE(form.Label9->palette().color(QPalette::WindowText), QColor(255, 0, 0));
        QVERIFY(form.Label9->font().bold());
        QCOMPARE(form.Label5->font().pointSizeF(), 9.75);
        QCOMPARE(form.NoChars->font().pointSizeF(), 12.0);
        QCOMPARE(form.Data->font().family(), QStringLiteral("Courier New"));
        QCOMPARE(form.Characters->selectionMode(), QAbstractItemView::SingleSelection);
    }

    void passwordShowsStars()
    {
        Form1 form(QStringLiteral("x"));
        form.show();
        QVERIFY(QTest::qWaitForWindowExposed(&form));
        form.Password->setText(QStringLiteral("abc"));
        QCOMPARE(form.Password->echoMode(), QLineEdit::Password);
        QCOMPARE(form.Password->style()->styleHint(QStyle::SH_LineEdit_PasswordCharacter, nullptr, form.Password),
            int(u'*'));
        QCOMPARE(form.Password->displayText(), QStringLiteral("***"));
    }

    void tabOrderStartsAtTheLog()
    {
        Form1 form(QStringLiteral("x"));
        const QList<QWidget*> expected { form.Data, form.URL, form.Login, form.Password, form.Characters, form.Command2,
            form.Command3, form.Command1, form.RememberPassword, form.StartWithWindows };
        // Walk the chain as Tab does, past inner widgets (viewports) and labels.
        const auto nextStop = [&form](QWidget* w) {
            do
                w = w->nextInFocusChain();
            while (w->parentWidget() != &form || !(w->focusPolicy() & Qt::TabFocus));
            return w;
        };
        for (int i = 0; i + 1 < expected.size(); ++i)
            QCOMPARE(nextStop(expected[i]), expected[i + 1]);
    }

    void focusSelectsTheWholeText()
    {
        Form1 form(QStringLiteral("guild.example"));
        form.show();
        QVERIFY(QTest::qWaitForWindowExposed(&form));
        form.activateWindow();
        form.Login->setText(QStringLiteral("kestrel"));
        for (QLineEdit* edit : { static_cast<QLineEdit*>(form.URL), static_cast<QLineEdit*>(form.Login) }) {
            form.Data->setFocus();
            QTRY_VERIFY(form.Data->hasFocus());
            edit->deselect();
            edit->setFocus(Qt::TabFocusReason);
            QTRY_VERIFY(edit->hasFocus());
            QCOMPARE(edit->selectedText(), edit->text());
        }
        form.Password->setFocus(Qt::TabFocusReason);
        QTRY_VERIFY(form.Password->hasFocus());
        QCOMPARE(form.Password->selectedText(), QString());
    }

    // Enter clicks the focused push button and, from anywhere else, "OK" while it is enabled.
    void enterFollowsTheFocus_data()
    {
        QTest::addColumn<QString>("focus");
        QTest::addColumn<bool>("loggedIn");
        QTest::addColumn<QString>("clicked"); // empty: none
        const auto row = [](const char* name, const char* focus, bool loggedIn, const char* clicked) {
            QTest::newRow(name) << QString::fromLatin1(focus) << loggedIn << QString::fromLatin1(clicked);
        };
        row("Exit Program", "Command2", false, "Command2");
        row("Exit Program, keypad", "Command2", true, "Command2");
        row("Log Out", "Command3", true, "Command3");
        row("OK", "Command1", false, "Command1");
        row("address box", "URL", false, "Command1");
        row("list, keypad", "Characters", false, "Command1");
        row("check box", "RememberPassword", false, "Command1");
        row("list, logged in", "Characters", true, "");
    }
    void enterFollowsTheFocus()
    {
        QFETCH(QString, focus);
        QFETCH(bool, loggedIn);
        QFETCH(QString, clicked);
        Form1 form(QStringLiteral("guild.example"));
        form.setInputsEnabled(!loggedIn);
        form.setLogOutEnabled(loggedIn);
        QStringList clicks;
        for (QPushButton* button : { form.Command1, form.Command2, form.Command3 })
            connect(button, &QPushButton::clicked, this, [&clicks, button] { clicks << button->objectName(); });
        form.show();
        form.activateWindow();
        auto* target = form.findChild<QWidget*>(focus);
        target->setFocus(Qt::TabFocusReason);
        QTRY_VERIFY(target->hasFocus());
        const bool keypad = QByteArray(QTest::currentDataTag()).contains("keypad");
        QTest::keyClick(target, keypad ? Qt::Key_Enter : Qt::Key_Return);
        QCOMPARE(clicks, clicked.isEmpty() ? QStringList() : QStringList { clicked });
        QVERIFY(!form.RememberPassword->isChecked());
    }

    void noticeCoversTheEmptyList()
    {
        Form1 form(QStringLiteral("x"));
        form.show();
        form.showCharacters(false);
        QVERIFY(form.NoChars->isVisible());
        QVERIFY(!form.Characters->isVisible());
        form.showCharacters(true);
        QVERIFY(!form.NoChars->isVisible());
        QVERIFY(form.Characters->isVisible());
    }

    void minimizingOrClosingHidesIntoTheTray()
    {
        Form1 form(QStringLiteral("x"));
        form.Login->setText(QStringLiteral("kept"));
        form.show();
        QVERIFY(QTest::qWaitForWindowExposed(&form));
        form.setWindowState(Qt::WindowMinimized);
        QTRY_VERIFY(!form.isVisible());

        form.setWindowState(Qt::WindowNoState);
        form.show();
        QVERIFY(!form.close()); // the close is refused and the window goes to the tray
        QTRY_VERIFY(!form.isVisible());
        QCOMPARE(form.Login->text(), QStringLiteral("kept"));
    }

    void withoutATrayTheWindowStaysReachable()
    {
        Form1 form(QStringLiteral("x"));
        form.setTrayAvailable(false);
        form.show();
        QVERIFY(QTest::qWaitForWindowExposed(&form));
        QVERIFY(!form.close());
        QTest::qWait(20);
        QVERIFY(form.isVisible()); // minimized in the task bar, not hidden
        QVERIFY(form.windowState() & Qt::WindowMinimized);
    }

    void sessionEndEndsTheProgram()
    {
        Form1 form(QStringLiteral("x"));
        form.show();
        QSignalSpy ending(&form, &Form1::sessionEndingClose);
        form.setSessionEnding();
        QVERIFY(form.close());
        QCOMPARE(ending.count(), 1);

        form.show();
        form.setSessionEnding(std::chrono::milliseconds(10)); // and then the log-off is cancelled
        QTRY_VERIFY(!form.sessionEnding());
        QVERIFY(!form.close() && ending.count() == 1);
    }

    void trayClicksToggleTheWindow()
    {
        Form1 form(QStringLiteral("x"));
        form.Data->setPlainText(QStringLiteral("log kept"));
        TrayIcon tray(form, QIcon());
        tray.InitTrayIcon();
        QCOMPARE(tray.toolTip(), QStringLiteral("RostrelUploader"));

        form.hide();
        tray.Form_MouseMove(LeftButtonUp);
        QVERIFY(form.isVisible());
        QCOMPARE(form.windowState() & Qt::WindowMinimized, Qt::WindowStates());
        QCOMPARE(form.Data->toPlainText(), QStringLiteral("log kept"));
        tray.Form_MouseMove(RightButtonUp);
        QVERIFY(!form.isVisible());

        // Moves, presses and other buttons do nothing.
        for (int message :
            { int(MouseMove), int(LeftButtonDown), int(RightButtonDown), int(RightButtonDoubleClick), 519, 520 }) {
            tray.Form_MouseMove(message);
            QVERIFY(!form.isVisible());
        }

        // A double click: release, double click, release -> the opposite state.
        tray.activated(QSystemTrayIcon::Trigger);
        tray.activated(QSystemTrayIcon::DoubleClick);
        QVERIFY(form.isVisible());
        tray.activated(QSystemTrayIcon::Context);
        QVERIFY(!form.isVisible());
    }

    void restoringAMinimizedWindowShowsItNormal()
    {
        Form1 form(QStringLiteral("x"));
        TrayIcon tray(form, QIcon());
        form.show();
        form.minimizeWindow();
        QVERIFY(!form.isVisible());
        tray.ToggleMainWindow();
        QVERIFY(form.isVisible());
        QVERIFY(!(form.windowState() & Qt::WindowMinimized));
    }
};

QTEST_MAIN(TestForm1)
#include "test_form1.moc"
