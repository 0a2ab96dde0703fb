// Small building blocks shared by the panes, each announced by the screen reader with what it is.
// Thread: main thread.
#pragma once

#include <QCheckBox>
#include <QGroupBox>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

namespace selvina::settingswindow {

// A paragraph that Tab stops at, so that the screen reader reads it; the text is its name.
QLabel* paragraph(const QString& text, QWidget* parent = nullptr);
// A toggle with its explanation under it; the explanation is the toggle's description.
QCheckBox* toggle(const QString& title, const QString& subtitle, QVBoxLayout* into);
QPushButton* button(const QString& title, const QString& help, QWidget* parent = nullptr);
// A titled section; its title labels what is inside.
QGroupBox* section(const QString& title, QVBoxLayout*& contents);
// A pane's page: a titled column that scrolls.
QWidget* scrolled(QWidget* content);

} // namespace selvina::settingswindow
