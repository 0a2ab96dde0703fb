// A small Qt Widgets window for the accessibility tests: every change of its own state is printed
// on standard output, one line each, so the test can see what really happened in the application.
#include <QApplication>
#include <QCheckBox>
#include <QLabel>
#include <QLineEdit>
#include <QScrollArea>
#include <QPushButton>
#include <QScrollBar>
#include <QTimer>
#include <QVBoxLayout>
#include <QWidget>

#include <cstdio>

namespace {

void say(const QString& line)
{
    std::printf("%s\n", line.toUtf8().constData());
    std::fflush(stdout);
}

class FocusReporter : public QObject {
public:
    using QObject::QObject;
    bool eventFilter(QObject* watched, QEvent* event) override
    {
        if (event->type() == QEvent::FocusIn)
            say("focus " + watched->objectName());
        return false;
    }
};

} // namespace

int main(int argc, char** argv)
{
    QApplication app(argc, argv);
    QWidget window;
    window.setWindowTitle("Zakupy Qt");
    window.resize(480, 640);
    auto* layout = new QVBoxLayout(&window);
    layout->addWidget(new QLabel("Lista zakupów"));
    auto* add = new QPushButton("Dodaj");
    QObject::connect(add, &QPushButton::clicked, [] { say("clicked Dodaj"); });
    layout->addWidget(add);
    auto* temporary = new QPushButton("Tymczasowy");
    layout->addWidget(temporary);
    auto* remove = new QPushButton("Usuń przycisk");
    QObject::connect(remove, &QPushButton::clicked, [&temporary] {
        delete temporary;
        temporary = nullptr;
        say("removed Tymczasowy");
    });
    layout->addWidget(remove);
    auto* disabled = new QPushButton("Niedostępny");
    disabled->setEnabled(false);
    layout->addWidget(disabled);
    auto* urgent = new QCheckBox("Pilne");
    QObject::connect(urgent, &QCheckBox::toggled, [](bool on) { say(QString("check %1").arg(int(on))); });
    layout->addWidget(urgent);
    FocusReporter focus;
    auto* name = new QLineEdit;
    name->setObjectName("name");
    name->setPlaceholderText("Nazwa produktu");
    name->installEventFilter(&focus);
    QObject::connect(name, &QLineEdit::textChanged, [](const QString& t) { say("text: " + t); });
    layout->addWidget(name);
    auto* password = new QLineEdit;
    password->setEchoMode(QLineEdit::Password);
    password->setPlaceholderText("Hasło");
    layout->addWidget(password);
    // A scrolled list: Qt exposes a scroll area's scroll bars (an item view keeps them to itself).
    auto* scroll = new QScrollArea;
    auto* list = new QWidget;
    auto* rows = new QVBoxLayout(list);
    for (int i = 1; i <= 40; ++i) {
        auto* row = new QPushButton(QString("Pozycja %1").arg(i));
        row->setFlat(true);
        rows->addWidget(row);
    }
    scroll->setWidget(list);
    scroll->setMaximumHeight(200);
    QObject::connect(scroll->verticalScrollBar(), &QScrollBar::valueChanged, [scroll](int v) {
        const QScrollBar* bar = scroll->verticalScrollBar();
        const int span = bar->maximum() - bar->minimum();
        say(QString("scroll %1").arg(span > 0 ? double(v - bar->minimum()) / span : 0.0, 0, 'f', 2));
    });
    layout->addWidget(scroll);
    // As scrolled forms do: a row that takes the focus is brought into view.
    QObject::connect(&app, &QApplication::focusChanged, [scroll, list](QWidget*, QWidget* now) {
        if (now && list->isAncestorOf(now))
            scroll->ensureWidgetVisible(now);
    });
    window.show();
    window.activateWindow(); // there is no window manager under Xvfb to give it focus
    QTimer::singleShot(200, [] { say("ready"); });
    return app.exec();
}
