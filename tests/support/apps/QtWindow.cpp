// A small Qt Widgets window for the accessibility tests: every change of its own state is printed
// on standard output, one line each, so the test can see what really happened in the application.
#include <QAccessibleWidget>
#include <QApplication>
#include <QCheckBox>
#include <QHash>
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

// A spreadsheet of 2^31 cells, as an office suite reports one: its cells exist only once asked for,
// and it manages them (Qt says so of every table).
constexpr int kColumns = 8;
constexpr int kRows = 0x7fffffff / kColumns;
constexpr int kCellWidth = 100, kCellHeight = 20;

class SheetAccessible;

class Cell final : public QAccessibleInterface {
public:
    Cell(SheetAccessible* sheet, int index) : m_sheet(sheet), m_index(index) {}
    bool isValid() const override { return true; }
    QObject* object() const override { return nullptr; }
    QAccessibleInterface* childAt(int, int) const override { return nullptr; }
    QAccessibleInterface* parent() const override;
    QAccessibleInterface* child(int) const override { return nullptr; }
    int childCount() const override { return 0; }
    int indexOfChild(const QAccessibleInterface*) const override { return -1; }
    QString text(QAccessible::Text t) const override
    {
        return t == QAccessible::Name ? QString(QChar(u'A' + m_index % kColumns)) + QString::number(m_index / kColumns + 1)
                                      : QString();
    }
    void setText(QAccessible::Text, const QString&) override {}
    QRect rect() const override;
    QAccessible::Role role() const override { return QAccessible::Cell; }
    QAccessible::State state() const override
    {
        QAccessible::State s;
        s.selectable = true;
        return s;
    }

private:
    SheetAccessible* m_sheet;
    int m_index;
};

class SheetAccessible final : public QAccessibleWidget, public QAccessibleTableInterface {
public:
    explicit SheetAccessible(QWidget* w) : QAccessibleWidget(w, QAccessible::Table) {}
    int childCount() const override { return kRows * kColumns; }
    QAccessibleInterface* child(int index) const override
    {
        if (index < 0 || index >= childCount())
            return nullptr;
        if (!m_cells.contains(index))
            m_cells.insert(index, QAccessible::registerAccessibleInterface(new Cell(const_cast<SheetAccessible*>(this), index)));
        return QAccessible::accessibleInterface(m_cells.value(index));
    }
    int indexOfChild(const QAccessibleInterface* child) const override
    {
        for (auto it = m_cells.cbegin(); it != m_cells.cend(); ++it)
            if (QAccessible::accessibleInterface(it.value()) == child)
                return it.key();
        return -1;
    }
    QAccessibleInterface* childAt(int x, int y) const override
    {
        const QPoint at = widget()->mapFromGlobal(QPoint(x, y));
        if (!widget()->rect().contains(at) || at.x() / kCellWidth >= kColumns)
            return nullptr;
        return child(at.y() / kCellHeight * kColumns + at.x() / kCellWidth);
    }
    QRect cellRect(int index) const
    {
        return QRect(widget()->mapToGlobal(QPoint(index % kColumns * kCellWidth, index / kColumns * kCellHeight)),
                     QSize(kCellWidth, kCellHeight));
    }
    void* interface_cast(QAccessible::InterfaceType t) override
    {
        return t == QAccessible::TableInterface ? static_cast<QAccessibleTableInterface*>(this)
                                                : QAccessibleWidget::interface_cast(t);
    }

    QAccessibleInterface* caption() const override { return nullptr; }
    QAccessibleInterface* summary() const override { return nullptr; }
    QAccessibleInterface* cellAt(int row, int column) const override { return child(row * kColumns + column); }
    int selectedCellCount() const override { return 0; }
    QList<QAccessibleInterface*> selectedCells() const override { return {}; }
    QString columnDescription(int) const override { return {}; }
    QString rowDescription(int) const override { return {}; }
    int selectedColumnCount() const override { return 0; }
    int selectedRowCount() const override { return 0; }
    int columnCount() const override { return kColumns; }
    int rowCount() const override { return kRows; }
    QList<int> selectedColumns() const override { return {}; }
    QList<int> selectedRows() const override { return {}; }
    bool isColumnSelected(int) const override { return false; }
    bool isRowSelected(int) const override { return false; }
    bool selectRow(int) override { return false; }
    bool selectColumn(int) override { return false; }
    bool unselectRow(int) override { return false; }
    bool unselectColumn(int) override { return false; }
    void modelChange(QAccessibleTableModelChangeEvent*) override {}

private:
    mutable QHash<int, QAccessible::Id> m_cells; // only the cells ever asked for
};

QAccessibleInterface* Cell::parent() const
{
    return m_sheet;
}

QRect Cell::rect() const
{
    return m_sheet->cellRect(m_index);
}

QAccessibleInterface* sheetFactory(const QString&, QObject* object)
{
    if (object && object->isWidgetType() && object->objectName() == u"sheet")
        return new SheetAccessible(static_cast<QWidget*>(object));
    return nullptr;
}

} // namespace

int main(int argc, char** argv)
{
    QApplication app(argc, argv);
    QWidget window;
    window.setWindowTitle("Zakupy Qt");
    window.resize(480, 640);
    auto* layout = new QVBoxLayout(&window);
    const auto put = [layout](auto* widget) {
        layout->addWidget(widget);
        return widget;
    };
    put(new QLabel("Lista zakupów"));
    QObject::connect(put(new QPushButton("Dodaj")), &QPushButton::clicked, [] { say("clicked Dodaj"); });
    auto* temporary = put(new QPushButton("Tymczasowy"));
    QObject::connect(put(new QPushButton("Usuń przycisk")), &QPushButton::clicked, [&temporary] {
        delete temporary;
        temporary = nullptr;
        say("removed Tymczasowy");
    });
    put(new QPushButton("Niedostępny"))->setEnabled(false);
    QObject::connect(put(new QCheckBox("Pilne")), &QCheckBox::toggled, [](bool on) { say(QString("check %1").arg(int(on))); });
    auto* name = put(new QLineEdit);
    name->setPlaceholderText("Nazwa produktu");
    QObject::connect(name, &QLineEdit::textChanged, [](const QString& t) { say("text: " + t); });
    auto* password = put(new QLineEdit);
    password->setEchoMode(QLineEdit::Password);
    password->setPlaceholderText("Hasło");
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
    put(scroll);
    if (app.arguments().contains("--huge")) {
        QAccessible::installFactory(sheetFactory);
        auto* sheet = new QWidget;
        sheet->setObjectName("sheet");
        sheet->setAccessibleName("Arkusz");
        sheet->setFixedSize(4 * kCellWidth, 5 * kCellHeight);
        put(sheet);
    }
    // As scrolled forms do: a row that takes the focus is brought into view.
    QObject::connect(&app, &QApplication::focusChanged, [scroll, list, name](QWidget*, QWidget* now) {
        if (now == name)
            say("focus name");
        if (now && list->isAncestorOf(now))
            scroll->ensureWidgetVisible(now);
    });
    window.show();
    window.activateWindow(); // there is no window manager under Xvfb to give it focus
    QTimer::singleShot(200, [] { say("ready"); });
    return app.exec();
}
