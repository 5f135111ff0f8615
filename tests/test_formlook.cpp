// How the main window looks on a given desktop: every text fits its place with the fonts at hand,
// and the first show centres the window on the screen that holds the pointer. CTest runs it with
// the machine's own fonts and with DejaVu's basic faces alone (ROSTREL_FONT_SET=dejavu, through a
// fontconfig file of its own), on two offscreen screens side by side (tests/data/formlook).

#include "app/fontfit.h"
#include "app/form1.h"
#include "tray/trayicon.h"

#include <QCursor>
#include <QFontInfo>
#include <QScreen>
#include <QStyleOptionButton>
#include <QTest>

using namespace rostrel;

namespace {

bool onlyDejaVu()
{
    return qEnvironmentVariable("ROSTREL_FONT_SET") == QStringLiteral("dejavu");
}

// The room a control leaves for its text, asked of the style rather than of the control's size hint.
int roomForText(const QWidget& control)
{
    if (const auto* label = qobject_cast<const QLabel*>(&control))
        return label->contentsRect().width();
    const auto* button = qobject_cast<const QAbstractButton*>(&control);
    QStyleOptionButton option;
    option.initFrom(button);
    option.rect = button->rect();
    option.text = button->text();
    const auto element
        = qobject_cast<const QCheckBox*>(button) ? QStyle::SE_CheckBoxContents : QStyle::SE_PushButtonContents;
    return button->style()->subElementRect(element, &option, button).width();
}

} // namespace

class TestFormLook : public QObject
{
    Q_OBJECT
private Q_SLOTS:
    void everyTextFitsItsPlace()
    {
        Form1 form(QStringLiteral("guild.example"));
        QList<QWidget*> controls;
        for (QLabel* label : form.findChildren<QLabel*>())
            controls << label;
        for (QAbstractButton* button : form.findChildren<QAbstractButton*>())
            controls << button;
        QCOMPARE(controls.size(), 15);
        for (QWidget* control : std::as_const(controls)) {
            const auto* label = qobject_cast<QLabel*>(control);
            const QString text = label ? label->text() : qobject_cast<QAbstractButton*>(control)->text();
            const QFont font = control->font();
            const QFontMetrics metrics(font);
            const QString what = control->objectName() + QStringLiteral(" in ") + QFontInfo(font).family()
                + QStringLiteral(" %1 pt").arg(font.pointSizeF());
            qInfo().noquote() << what;
            // The face asked for is the face drawn, at a size still easy to read.
            QCOMPARE(QFontInfo(font).family(), font.family());
            QVERIFY2(font.pointSizeF() >= 6, qPrintable(what));
            if (label && label->wordWrap()) {
                const QRect needed = metrics.boundingRect(label->contentsRect(), Qt::TextWordWrap, text);
                QVERIFY2(label->contentsRect().contains(needed), qPrintable(what));
            } else {
                QVERIFY2(metrics.horizontalAdvance(text) <= roomForText(*control), qPrintable(what));
                QVERIFY2(metrics.height() <= control->height(), qPrintable(what));
            }
        }
        // With DejaVu alone nothing fits the plain texts at the layout's size: they get a smaller
        // size of the first face there is, while the bold texts keep theirs.
        if (onlyDejaVu()) {
            QCOMPARE(form.Label8->font().family(), QStringLiteral("DejaVu Sans"));
            QVERIFY(form.Label8->font().pointSizeF() < 8.25);
            QCOMPARE(form.Label5->font().pointSizeF(), 9.75);
            QCOMPARE(form.NoChars->font().pointSizeF(), 12.0);
        }
    }

    void faceChoice_data()
    {
        QTest::addColumn<QStringList>("faces");
        QTest::addColumn<int>("width");
        QTest::addColumn<QString>("face"); // empty: the application's face
        QTest::addColumn<qreal>("points");
        const QString dejaVu = QStringLiteral("DejaVu Sans");
        QTest::newRow("faces not installed are passed over")
            << QStringList { QStringLiteral("No Such Face"), dejaVu } << 400 << dejaVu << 10.0;
        QTest::newRow("nothing fits: the smallest size") << QStringList { dejaVu } << 3 << dejaVu << 6.0;
        QTest::newRow("none installed: the application's face")
            << QStringList { QStringLiteral("No Such Face") } << 400 << QString() << 10.0;
    }
    void faceChoice()
    {
        QFETCH(QStringList, faces);
        QFETCH(int, width);
        QFETCH(QString, face);
        QFETCH(qreal, points);
        QWidget window;
        auto* label = new QLabel(QStringLiteral("Remember Password"), &window);
        label->setGeometry(0, 0, width, 40);
        const QFont font = fitFont({ label }, 10, false, faces);
        QCOMPARE(font.family(), face.isEmpty() ? QApplication::font().family() : face);
        QCOMPARE(font.pointSizeF(), points);
        QCOMPARE(label->font(), font);
    }

    void firstShowCentresOnThePointersScreen_data()
    {
        QTest::addColumn<QPoint>("pointer");
        QTest::addColumn<QRect>("screen");
        QTest::newRow("left screen") << QPoint(100, 100) << QRect(0, 0, 800, 600);
        QTest::newRow("right screen") << QPoint(1500, 700) << QRect(800, 0, 1024, 768);
        QTest::newRow("pointer off every screen: the primary") << QPoint(300, 700) << QRect(0, 0, 800, 600);
    }
    void firstShowCentresOnThePointersScreen()
    {
        QFETCH(QPoint, pointer);
        QFETCH(QRect, screen);
        QCursor::setPos(pointer);
        Form1 form(QStringLiteral("x"));
        TrayIcon tray(form, QIcon());
        form.show();
        QVERIFY(QTest::qWaitForWindowExposed(&form));
        QCOMPARE(form.screen()->geometry(), screen);
        // The frame is not known before the first show: the client area is centred.
        const QPoint offset = form.geometry().center() - screen.center();
        const QMargins frame = form.windowHandle()->frameMargins();
        QVERIFY2(qAbs(offset.x()) <= 1 + frame.left() + frame.right()
                && qAbs(offset.y()) <= 1 + frame.top() + frame.bottom(),
            qPrintable(QStringLiteral("off centre by %1,%2").arg(offset.x()).arg(offset.y())));

        // Back from the tray, the window is where the player left it.
        const QPoint moved = form.pos() + QPoint(-37, 23);
        form.move(moved);
        form.minimizeWindow();
        tray.ToggleMainWindow();
        QVERIFY(form.isVisible());
        QCOMPARE(form.pos(), moved);
    }
};

QTEST_MAIN(TestFormLook)
#include "test_formlook.moc"
