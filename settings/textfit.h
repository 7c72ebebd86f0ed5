#pragma once

#include <QStringList>

class QWidget;

// The forms were drawn for the 8-point system font of a 96-dpi Windows desktop, 11 pixels high.
// A Linux desktop font is larger and would cut texts off in the fixed geometry, so the forms set
// their fonts in pixels instead.
constexpr int kFormFontPixels = 11;
// Gives `widget` the largest font of its family, at most kFormFontPixels high, in which each of
// `texts` fits the room its style leaves for a text (labels, push buttons, check boxes, radio
// buttons).
void fitTexts(QWidget* widget, const QStringList& texts);

// Sets kFormFontPixels on `form` and fits every label and button below it to the text it holds
// now. Call after the form's geometry and layout are final.
void fitFormTexts(QWidget* form);
