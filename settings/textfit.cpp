#include "settings/textfit.h"

#include <QAbstractButton>
#include <QCheckBox>
#include <QFontMetrics>
#include <QLabel>
#include <QLayout>
#include <QPushButton>
#include <QRadioButton>
#include <QStyle>
#include <QStyleOptionButton>

namespace {

int buttonRoom(const QWidget* widget, QStyle::SubElement element, const QString& text) {
    QStyleOptionButton option;
    option.initFrom(widget);
    option.text = text;
    return widget->style()->subElementRect(element, &option, widget).width();
}

QString currentText(const QWidget* widget) {
    if (auto* label = qobject_cast<const QLabel*>(widget))
        return label->text();
    if (auto* button = qobject_cast<const QAbstractButton*>(widget))
        return button->text();
    return QString();
}

// Below this a text is no longer worth fitting.
constexpr int kSmallestFontPixels = 7;

// The width the widget's style leaves for a text of a label, push button, check box or radio
// button; -1 for other widgets.
int textRoom(const QWidget* widget, const QString& text) {
    if (auto* label = qobject_cast<const QLabel*>(widget))
        return label->contentsRect().width() - 2 * label->margin();
    if (qobject_cast<const QCheckBox*>(widget))
        return buttonRoom(widget, QStyle::SE_CheckBoxContents, text);
    if (qobject_cast<const QRadioButton*>(widget))
        return buttonRoom(widget, QStyle::SE_RadioButtonContents, text);
    if (qobject_cast<const QPushButton*>(widget)) {
        // The style's contents rectangle still holds the button's margin on both sides.
        const int margin = widget->style()->pixelMetric(QStyle::PM_ButtonMargin, nullptr, widget);
        return buttonRoom(widget, QStyle::SE_PushButtonContents, text) - margin;
    }
    return -1;
}

bool fits(const QWidget* widget, const QStringList& texts) {
    const QFontMetrics metrics(widget->font());
    if (textRoom(widget, QString()) < 0)
        return true; // a text that no style measures here
    for (const QString& text : texts) {
        if (metrics.horizontalAdvance(text) > textRoom(widget, text))
            return false;
    }
    return true;
}

} // namespace

void fitTexts(QWidget* widget, const QStringList& texts) {
    QFont font = widget->font();
    for (int pixels = kFormFontPixels; pixels >= kSmallestFontPixels; --pixels) {
        font.setPixelSize(pixels);
        widget->setFont(font);
        if (fits(widget, texts))
            return;
    }
    font.setPixelSize(kFormFontPixels); // nothing helps: keep it readable at least
    widget->setFont(font);
}

void fitFormTexts(QWidget* form) {
    QFont font = form->font();
    font.setPixelSize(kFormFontPixels);
    form->setFont(font);
    // Laid-out widgets grow with their texts; only the final sizes tell what needs fitting.
    if (form->layout())
        form->layout()->activate();
    for (QWidget* widget : form->findChildren<QWidget*>()) {
        const QString text = currentText(widget);
        if (!text.isEmpty() && !fits(widget, {text}))
            fitTexts(widget, {text});
    }
}
