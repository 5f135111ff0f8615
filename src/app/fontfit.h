#pragma once
// The layout gives every control a fixed place, made for a narrow face that few desktops have.
// For each group of controls that share a font, fitFont picks a face in which every text of the
// group fits its place, so that no text is cut off whatever fonts are installed.

#include <QFont>
#include <QList>
#include <QStringList>

class QWidget;

namespace rostrel {

// Faces in the order they are tried: the layout's own, faces of the same width, narrower ones.
QStringList fittingFaces();

// Whether the control's text fits its place in the control's current font.
bool textFits(const QWidget& control);

// The first installed face of faces in which every control fits at the given size; where none
// does, the first installed face (the application's own when none is) at the largest size, in
// quarter points, that fits. The controls are left in the font returned.
QFont fitFont(const QList<QWidget*>& controls, qreal points, bool bold, const QStringList& faces = fittingFaces());

} // namespace rostrel
