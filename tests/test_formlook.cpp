// How the main window looks on a given desktop: every text fits its place with the fonts at hand,
// and the first show centres the window on the screen that holds the pointer.
//
// ROSTREL_FONT_SET chooses the fonts the test sees: unset, the machine's own; "dejavu", only the
// DejaVu faces of a minimal desktop; "dejavu-condensed", those and DejaVu's condensed faces. The
// screens are two offscreen screens side by side.

#include "app/fontfit.h"
#include "app/form1.h"

#include <QCursor>
#include <QDirIterator>
#include <QFile>
#include <QFontDatabase>
#include <QFontInfo>
#include <QScreen>
#include <QStyleOptionButton>
#include <QTemporaryDir>
#include <QTest>
#include <QWindow>

using namespace rostrel;

namespace {

const QRect kLeftScreen(0, 0, 800, 600);
const QRect kRightScreen(800, 0, 1024, 768);

QString fontSet()
{
    return qEnvironmentVariable("ROSTREL_FONT_SET");
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
    const bool box = qobject_cast<const QCheckBox*>(button);
    return button->style()
        ->subElementRect(box ? QStyle::SE_CheckBoxContents : QStyle::SE_PushButtonContents, &option, button)
        .width();
}

QString textOf(const QWidget& control)
{
    if (const auto* label = qobject_cast<const QLabel*>(&control))
        return label->text();
    return qobject_cast<const QAbstractButton*>(&control)->text();
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
            const QString text = textOf(*control);
            const QFont font = control->font();
            const QFontMetrics metrics(font);
            const QString what = control->objectName() + QStringLiteral(" in ") + QFontInfo(font).family()
                + QStringLiteral(" %1 pt").arg(font.pointSizeF());
            qInfo().noquote() << what;
            // The face asked for is the face drawn, at a size still easy to read.
            QCOMPARE(QFontInfo(font).family(), font.family());
            QVERIFY2(font.pointSizeF() >= 6, qPrintable(what));
            if (control == form.NoChars) {
                const QRect room = form.NoChars->contentsRect();
                const QRect needed = metrics.boundingRect(room, Qt::TextWordWrap, text);
                QVERIFY2(needed.width() <= room.width() && needed.height() <= room.height(), qPrintable(what));
                continue;
            }
            QVERIFY2(metrics.horizontalAdvance(text) <= roomForText(*control), qPrintable(what));
            QVERIFY2(metrics.height() <= control->height(), qPrintable(what));
        }
    }

    // With DejaVu alone no face fits the plain texts at the layout's size: the first face of the
    // list that is there is made smaller, and the larger bold texts keep their size.
    void smallerFaceWhereNoneFits_data()
    {
        QTest::addColumn<QString>("control");
        QTest::addColumn<QString>("face");
        QTest::addColumn<qreal>("layoutPoints");
        QTest::addColumn<bool>("smaller");
        const bool condensed = fontSet() == QStringLiteral("dejavu-condensed");
        const QString plain = condensed ? QStringLiteral("DejaVu Sans Condensed") : QStringLiteral("DejaVu Sans");
        QTest::newRow("plain texts") << QStringLiteral("Label8") << plain << 8.25 << true;
        QTest::newRow("title") << QStringLiteral("Label5") << plain << 9.75 << false;
        QTest::newRow("notice") << QStringLiteral("NoChars") << plain << 12.0 << false;
    }
    void smallerFaceWhereNoneFits()
    {
        if (!fontSet().startsWith(QStringLiteral("dejavu")))
            QSKIP("runs with the DejaVu font sets");
        QFETCH(QString, control);
        QFETCH(QString, face);
        QFETCH(qreal, layoutPoints);
        QFETCH(bool, smaller);
        Form1 form(QStringLiteral("guild.example"));
        const QFont font = form.findChild<QWidget*>(control)->font();
        QCOMPARE(font.family(), face);
        if (smaller)
            QVERIFY(font.pointSizeF() < layoutPoints);
        else
            QCOMPARE(font.pointSizeF(), layoutPoints);
    }

    void faceChoice_data()
    {
        QTest::addColumn<QStringList>("faces");
        QTest::addColumn<int>("width");
        QTest::addColumn<QString>("face"); // empty: the application's face
        QTest::addColumn<qreal>("points");
        QTest::newRow("faces not installed are passed over")
            << QStringList { QStringLiteral("No Such Face"), QStringLiteral("DejaVu Sans") } << 400
            << QStringLiteral("DejaVu Sans") << 10.0;
        QTest::newRow("nothing fits: the smallest size")
            << QStringList { QStringLiteral("DejaVu Sans") } << 3 << QStringLiteral("DejaVu Sans") << 6.0;
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
        QTest::newRow("left screen") << QPoint(100, 100) << kLeftScreen;
        QTest::newRow("right screen") << QPoint(1500, 700) << kRightScreen;
        QTest::newRow("pointer off every screen: the primary") << QPoint(300, 700) << kLeftScreen;
    }
    void firstShowCentresOnThePointersScreen()
    {
        QFETCH(QPoint, pointer);
        QFETCH(QRect, screen);
        QCOMPARE(QGuiApplication::screens().size(), 2);
        QCursor::setPos(pointer);
        Form1 form(QStringLiteral("x"));
        form.show();
        QVERIFY(QTest::qWaitForWindowExposed(&form));
        QCOMPARE(form.screen()->geometry(), screen);
        // The frame is not known before the first show: the client area is centred.
        const QPoint offset = form.geometry().center() - screen.center();
        const QMargins frame = form.windowHandle()->frameMargins();
        QVERIFY2(qAbs(offset.x()) <= 1 + frame.left() + frame.right()
                && qAbs(offset.y()) <= 1 + frame.top() + frame.bottom(),
            qPrintable(QStringLiteral("off centre by %1,%2").arg(offset.x()).arg(offset.y())));
    }
};

// The fonts and the screens must be in place before the application starts.
int main(int argc, char* argv[])
{
    QTemporaryDir dir;
    const QString set = fontSet();
    if (set.startsWith(QStringLiteral("dejavu"))) {
        QStringList wanted { QStringLiteral("DejaVuSans.ttf"), QStringLiteral("DejaVuSans-Bold.ttf"),
            QStringLiteral("DejaVuSansMono.ttf") };
        if (set == QStringLiteral("dejavu-condensed"))
            wanted << QStringLiteral("DejaVuSansCondensed.ttf") << QStringLiteral("DejaVuSansCondensed-Bold.ttf");
        const QString fonts = dir.filePath(QStringLiteral("fonts"));
        QDir().mkpath(fonts);
        QDirIterator it(QStringLiteral("/usr/share/fonts"), QDir::Files, QDirIterator::Subdirectories);
        while (it.hasNext()) {
            const QString path = it.next();
            if (wanted.removeAll(it.fileName()))
                QFile::link(path, fonts + u'/' + it.fileName());
        }
        if (!wanted.isEmpty()) {
            qCritical() << "Fonts missing from /usr/share/fonts:" << wanted;
            return 1;
        }
        QFile conf(dir.filePath(QStringLiteral("fonts.conf")));
        if (!conf.open(QIODevice::WriteOnly))
            return 1;
        // The system's rendering rules (hinting, antialiasing), without its fonts.
        conf.write("<?xml version=\"1.0\"?>\n<!DOCTYPE fontconfig SYSTEM \"fonts.dtd\">\n<fontconfig>\n"
                   "  <include ignore_missing=\"yes\">/etc/fonts/conf.d</include>\n  <dir>"
            + fonts.toUtf8() + "</dir>\n  <cachedir>" + dir.filePath(QStringLiteral("cache")).toUtf8()
            + "</cachedir>\n</fontconfig>\n");
        conf.close();
        qputenv("FONTCONFIG_FILE", conf.fileName().toUtf8());
    }
    QFile screens(dir.filePath(QStringLiteral("screens.json")));
    if (!screens.open(QIODevice::WriteOnly))
        return 1;
    screens.write(R"({ "screens": [
        { "name": "left", "x": 0, "y": 0, "width": 800, "height": 600, "logicalDpi": 96, "logicalBaseDpi": 96, "dpr": 1 },
        { "name": "right", "x": 800, "y": 0, "width": 1024, "height": 768, "logicalDpi": 96, "logicalBaseDpi": 96,
          "dpr": 1 } ] })");
    screens.close();
    qputenv("QT_QPA_PLATFORM", "offscreen:configfile=" + screens.fileName().toUtf8());

    QApplication app(argc, argv);
    TestFormLook test;
    return QTest::qExec(&test, argc, argv);
}

#include "test_formlook.moc"
