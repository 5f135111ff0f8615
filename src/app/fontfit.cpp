#include "app/fontfit.h"

#include <QApplication>
#include <QFontDatabase>
#include <QLabel>
#include <QWidget>

#include <algorithm>

namespace rostrel {
namespace {

// Below this a text is no longer comfortable to read; the search stops here.
constexpr qreal kSmallestPoints = 6.0;
constexpr qreal kStep = 0.25;

QFont makeFont(const QString& face, qreal points, bool bold)
{
    QFont font(face);
    font.setStyleHint(QFont::SansSerif);
    font.setPointSizeF(points);
    font.setBold(bold);
    return font;
}

bool allFit(const QList<QWidget*>& controls, const QFont& font)
{
    for (QWidget* control : controls)
        control->setFont(font);
    return std::all_of(controls.begin(), controls.end(), [](const QWidget* control) { return textFits(*control); });
}

} // namespace

QStringList fittingFaces()
{
    return {
        // The layout's face and the faces that stand in for it on Windows and under Wine.
        QStringLiteral("MS Sans Serif"),
        QStringLiteral("Microsoft Sans Serif"),
        QStringLiteral("Tahoma"),
        // Faces of Arial's widths.
        QStringLiteral("Arial"),
        QStringLiteral("Liberation Sans"),
        QStringLiteral("Arimo"),
        QStringLiteral("Helvetica"),
        QStringLiteral("Nimbus Sans"),
        QStringLiteral("FreeSans"),
        // Narrow faces, for texts that the faces above do not fit.
        QStringLiteral("Arial Narrow"),
        QStringLiteral("Liberation Sans Narrow"),
        QStringLiteral("Nimbus Sans Narrow"),
        QStringLiteral("DejaVu Sans Condensed"),
        QStringLiteral("Noto Sans Condensed"),
        QStringLiteral("Roboto Condensed"),
        QStringLiteral("Ubuntu Condensed"),
        // Common desktop faces, wider still: tried last, and shrunk where nothing else is there.
        QStringLiteral("DejaVu Sans"),
        QStringLiteral("Noto Sans"),
        QStringLiteral("Cantarell"),
        QStringLiteral("Ubuntu"),
    };
}

bool textFits(const QWidget& control)
{
    if (const auto* label = qobject_cast<const QLabel*>(&control)) {
        if (label->wordWrap())
            return label->heightForWidth(label->width()) <= label->height();
        const QSize needed = label->sizeHint();
        return needed.width() <= label->width() && needed.height() <= label->height();
    }
    // Buttons and check boxes: the style's own room for the frame or the tick box is counted.
    return control.sizeHint().width() <= control.width();
}

QFont fitFont(const QList<QWidget*>& controls, qreal points, bool bold, const QStringList& faces)
{
    const QStringList installed = QFontDatabase::families();
    QString first;
    for (const QString& face : faces) {
        if (!installed.contains(face, Qt::CaseInsensitive))
            continue;
        if (first.isEmpty())
            first = face;
        const QFont font = makeFont(face, points, bold);
        if (allFit(controls, font))
            return font;
    }
    if (first.isEmpty())
        first = QApplication::font().family();
    QFont font = makeFont(first, points, bold);
    for (qreal size = points; size >= kSmallestPoints; size -= kStep) {
        font.setPointSizeF(size);
        if (allFit(controls, font))
            return font;
    }
    return font; // the smallest size, the nearest to fitting
}

} // namespace rostrel
