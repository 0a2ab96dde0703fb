#include "settingswindow/PaneWidgets.h"

#include <QScrollArea>

namespace selvina::settingswindow {

QLabel* paragraph(const QString& text, QWidget* parent)
{
    auto* label = new QLabel(text, parent);
    label->setWordWrap(true);
    label->setTextInteractionFlags(Qt::TextSelectableByKeyboard | Qt::TextSelectableByMouse);
    label->setFocusPolicy(Qt::StrongFocus);
    label->setAccessibleName(text);
    return label;
}

QCheckBox* toggle(const QString& title, const QString& subtitle, QVBoxLayout* into)
{
    auto* box = new QCheckBox(title);
    box->setAccessibleName(title);
    box->setAccessibleDescription(subtitle);
    box->setToolTip(subtitle);
    into->addWidget(box);
    if (!subtitle.isEmpty()) {
        auto* under = new QLabel(subtitle);
        under->setWordWrap(true);
        under->setIndent(24);
        into->addWidget(under);
    }
    return box;
}

QPushButton* button(const QString& title, const QString& help, QWidget* parent)
{
    auto* b = new QPushButton(title, parent);
    b->setAccessibleName(title);
    if (!help.isEmpty()) {
        b->setAccessibleDescription(help);
        b->setToolTip(help);
    }
    return b;
}

QGroupBox* section(const QString& title, QVBoxLayout*& contents)
{
    auto* box = new QGroupBox(title);
    box->setAccessibleName(title);
    contents = new QVBoxLayout(box);
    return box;
}

QWidget* scrolled(QWidget* content)
{
    auto* area = new QScrollArea;
    area->setWidgetResizable(true);
    area->setFrameShape(QFrame::NoFrame);
    area->setFocusPolicy(Qt::NoFocus);
    area->setWidget(content);
    area->setAccessibleName(content->accessibleName());
    return area;
}

} // namespace selvina::settingswindow
