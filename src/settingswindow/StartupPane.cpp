#include "settingswindow/StartupPane.h"

#include "activation/GlobalHotkey.h"
#include "platform/linux/KeySymbols.h"
#include "platform/linux/gnome/GnomeCustomShortcut.h"
#include "settings/LaunchPreferences.h"
#include "settingswindow/Announcement.h"
#include "settingswindow/PaneWidgets.h"

#include <QApplication>
#include <QRadioButton>
#include <QKeyEvent>
#include <QProcessEnvironment>
#include <QRegularExpression>
#include <QSignalBlocker>

namespace selvina::settingswindow {

using activation::HotkeyCombo;

const QString StartupPane::kNoModifier = QStringLiteral("Skrót musi mieć co najmniej jeden modyfikator.");

namespace {

// The keys the picker offers, by their names; Esc ends a conversation and is not among them.
constexpr std::uint32_t kPickerKeys[] = {49, 36, 48, 0, 1, 2, 6, 122, 120, 96, 97, 111};

// X keysym of a key as Qt names it.
std::optional<std::uint32_t> keysymOf(int key)
{
    if (key >= Qt::Key_Space && key <= Qt::Key_AsciiTilde)
        return std::uint32_t(QChar(key).toLower().unicode());
    if (key >= Qt::Key_F1 && key <= Qt::Key_F15)
        return std::uint32_t(0xffbe + (key - Qt::Key_F1));
    switch (key) {
    case Qt::Key_Return:
    case Qt::Key_Enter: return 0xff0d;
    case Qt::Key_Tab: return 0xff09;
    case Qt::Key_Backspace: return 0xff08;
    case Qt::Key_Escape: return 0xff1b;
    case Qt::Key_Insert: return 0xff63;
    case Qt::Key_Delete: return 0xffff;
    case Qt::Key_Home: return 0xff50;
    case Qt::Key_End: return 0xff57;
    case Qt::Key_PageUp: return 0xff55;
    case Qt::Key_PageDown: return 0xff56;
    case Qt::Key_Left: return 0xff51;
    case Qt::Key_Up: return 0xff52;
    case Qt::Key_Right: return 0xff53;
    case Qt::Key_Down: return 0xff54;
    default: return std::nullopt;
    }
}

bool isModifierKey(int key)
{
    switch (key) {
    case Qt::Key_Control:
    case Qt::Key_Shift:
    case Qt::Key_Alt:
    case Qt::Key_AltGr:
    case Qt::Key_Meta:
    case Qt::Key_Super_L:
    case Qt::Key_Super_R:
    case Qt::Key_Hyper_L:
    case Qt::Key_Hyper_R:
    case Qt::Key_CapsLock:
    case Qt::Key_NumLock:
        return true;
    default:
        return false;
    }
}

} // namespace

std::optional<std::uint32_t> StartupPane::keyCodeFor(int qtKey, quint32 nativeKeysym)
{
    // The native keysym is the unshifted key on this desktop (Shift+1 is "1", not "!").
    std::optional<std::uint32_t> wanted = keysymOf(qtKey);
    if (nativeKeysym != 0)
        wanted = nativeKeysym < 0x100 ? std::uint32_t(QChar(char16_t(nativeKeysym)).toLower().unicode()) : nativeKeysym;
    if (!wanted)
        return std::nullopt;
    for (std::uint32_t code = 0; code < 128; ++code)
        if (const auto symbol = platform::keySymbolFor(code); symbol && symbol->keysym == *wanted)
            return code;
    return std::nullopt;
}

std::uint32_t StartupPane::maskFor(Qt::KeyboardModifiers modifiers)
{
    std::uint32_t mask = 0;
    if (modifiers & Qt::ControlModifier)
        mask |= HotkeyCombo::kControl;
    if (modifiers & Qt::MetaModifier)
        mask |= HotkeyCombo::kSuper;
    if (modifiers & Qt::AltModifier)
        mask |= HotkeyCombo::kAlt;
    if (modifiers & Qt::ShiftModifier)
        mask |= HotkeyCombo::kShift;
    return mask;
}

StartupPane::StartupPane(settings::LaunchPreferences& launch, activation::GlobalHotkey* hotkeys, QWidget* parent)
    : QWidget(parent), m_launch(launch), m_hotkeys(hotkeys)
{
    setAccessibleName(QStringLiteral("Uruchamianie"));
    auto* column = new QVBoxLayout(this);

    QVBoxLayout* box = nullptr;
    column->addWidget(section(QStringLiteral("Autostart"), box));
    // What the paragraphs under a toggle say is also its description, read with it on Tab: one
    // stop for the toggle and its explanation.
    const QString autostartNote = QStringLiteral(
        "Stan bierzemy z systemu, nie z własnego zapisu — jeśli wyłączysz Selvina w programach startowych pulpitu "
        "(w GNOME w Dostrajaniu, w KDE w Autostarcie, w Xfce w Sesji i uruchamianiu), przełącznik tutaj też zgaśnie.");
    m_autostart = toggle(QStringLiteral("Uruchamiaj razem z systemem"),
                         QStringLiteral("Selvina wstanie sama po zalogowaniu, bez otwierania jej z menu aplikacji"), box);
    m_autostart->setAccessibleDescription(m_autostart->accessibleDescription() + QStringLiteral(". ") + autostartNote);
    m_autostartError = new QLabel;
    m_autostartError->setWordWrap(true);
    m_autostartError->setTextInteractionFlags(Qt::TextSelectableByKeyboard);
    m_autostartError->setFocusPolicy(Qt::StrongFocus);
    m_autostartError->setVisible(false);
    box->addWidget(m_autostartError);
    box->addWidget(passiveText(autostartNote));
    connect(m_autostart, &QCheckBox::toggled, this, [this](bool on) {
        const auto status = m_launch.ustawAutostart(on);
        const QString error = status.ok() ? QString() : status.error().description();
        m_autostartError->setText(error.isEmpty() ? QString() : QStringLiteral("⚠ ") + error);
        m_autostartError->setAccessibleName(error);
        m_autostartError->setVisible(!error.isEmpty());
        announce(m_autostartError, error);
        refresh();
    });

    column->addWidget(section(QStringLiteral("Zawołanie"), box));
    const QString zawolanieNote = QStringLiteral(
        "Nasłuch trzyma mikrofon otwartym, dopóki nie zawołasz — dlatego GNOME i KDE pokazują ikonę mikrofonu. "
        "Rozpoznawanie idzie NA TYM KOMPUTERZE i nic nie opuszcza go, dopóki nie zaczniesz rozmowy. Po wyłączeniu "
        "jedyną drogą do Selvina zostaje skrót.");
    m_zawolanie = toggle(QStringLiteral("Reaguj na „hej Selvina”"),
                         QStringLiteral("Nasłuch zawołania działa, gdy rozmowa jest zamknięta"), box);
    m_zawolanie->setAccessibleDescription(m_zawolanie->accessibleDescription() + QStringLiteral(". ") + zawolanieNote);
    box->addWidget(passiveText(zawolanieNote));
    connect(m_zawolanie, &QCheckBox::toggled, this, [this](bool on) { m_launch.setZawolanie(on); });

    column->addWidget(section(QStringLiteral("Skrót wywołania"), box));
    m_skrot = toggle(QStringLiteral("Skrót otwiera rozmowę z dowolnej aplikacji"), QString(), box);
    connect(m_skrot, &QCheckBox::toggled, this, [this](bool on) { m_launch.setSkrotWlaczony(on); });
    // The combination is heard with the toggle (its description) and with each of its parts.
    m_combination = passiveText(QString());
    box->addWidget(m_combination);

    m_key = new RadioChoice(QStringLiteral("Klawisz"));
    box->addWidget(m_key);
    connect(m_key, &RadioChoice::chosen, this, [this](const QVariant& code) {
        HotkeyCombo combo = m_launch.skrot();
        combo.keyCode = code.toUInt();
        m_launch.setSkrot(combo);
    });

    for (const auto& [bit, name] : {std::pair{HotkeyCombo::kSuper, "Super"}, std::pair{HotkeyCombo::kControl, "Control"},
                                    std::pair{HotkeyCombo::kAlt, "Alt"}, std::pair{HotkeyCombo::kShift, "Shift"}}) {
        QCheckBox* modifier = toggle(QLatin1String(name), QString(), box);
        m_modifiers.emplace_back(bit, modifier);
        connect(modifier, &QCheckBox::clicked, this, [this, bit = bit](bool on) { setModifier(bit, on); });
    }

    m_record = button(QStringLiteral("Nagraj skrót"),
                      QStringLiteral("Wygodniejsze, jeśli widzisz klawiaturę. To samo ustawisz kontrolkami powyżej"));
    box->addWidget(m_record);
    connect(m_record, &QPushButton::clicked, this, [this] { startRecording(); });
    m_recordingNote = paragraph(QString());
    m_recordingNote->setVisible(false);
    box->addWidget(m_recordingNote);
    // A refusal is said when it comes (announce); as text it stays under the controls.
    m_message = passiveText(QString());
    m_message->setVisible(false);
    box->addWidget(m_message);

    const QString whyFour = QStringLiteral(
        "Domyślny skrót ma cztery klawisze nie bez powodu: Orca ma własny modyfikator (Insert albo Caps Lock), a pulpit "
        "zajmuje już Super+Spacja (zmiana układu klawiatury), Alt+Spacja (menu okna) i Alt+Super+S (włączanie Orki). "
        "Control, Alt i Super razem ze Spacją nie wchodzą w drogę ani czytnikowi ekranu, ani pulpitowi.\n\n"
        "Skrót bez żadnego modyfikatora odbierałby klawisz wszystkim innym aplikacjom, więc go nie przyjmujemy.");
    auto* reset = button(QStringLiteral("Przywróć domyślny"), QStringLiteral("Wraca do Super Control Alt Spacja. ") + whyFour);
    // Orca leaves out a description that only repeats the tool tip; the tip stays short.
    reset->setToolTip(QStringLiteral("Wraca do Super Control Alt Spacja"));
    box->addWidget(reset);
    connect(reset, &QPushButton::clicked, this, [this] {
        showMessage(QString());
        m_launch.setSkrot(HotkeyCombo::invocationDefault());
        announce(m_combination, m_combination->text());
    });
    box->addWidget(passiveText(whyFour));
    if (platform::GnomeCustomShortcut::offered(QProcessEnvironment::systemEnvironment()))
        addGnomeSection(column);
    column->addStretch(1);

    connect(&m_launch, &settings::LaunchPreferences::skrotChanged, this, [this] {
        refresh();
        // Our GNOME keybinding follows the combination it was added with.
        if (m_gnome && m_gnomeOurs && !m_gnomeBusy) {
            const HotkeyCombo combo = m_launch.skrot();
            m_gnomeBusy = true;
            m_gnome->add(combo.keyCode, combo.modifiers).then(this, [this](platform::GnomeCustomShortcut::Outcome) {
                m_gnomeBusy = false;
                readGnomeBinding();
            });
        }
    });
    connect(&m_launch, &settings::LaunchPreferences::skrotWlaczonyChanged, this, [this] { refresh(); });
    connect(&m_launch, &settings::LaunchPreferences::zawolanieChanged, this, [this] { refresh(); });
    connect(&m_launch, &settings::LaunchPreferences::autostartChanged, this, [this] { refresh(); });
    refresh();
}

StartupPane::~StartupPane()
{
    stopRecording();
}

void StartupPane::addGnomeSection(QVBoxLayout* column)
{
    QVBoxLayout* box = nullptr;
    column->addWidget(section(QStringLiteral("Skrót w GNOME"), box));
    const QString why = QStringLiteral(
        "GNOME w sesji Wayland nie pozwala aplikacjom zająć skrótu ani klawisza Escape. Za twoją zgodą dopiszę skrót "
        "do ustawień klawiatury GNOME, do Skrótów własnych: uruchamia polecenie selvina-voice, które otwiera rozmowę, "
        "a gdy rozmowa trwa, zamyka ją. Twoich własnych skrótów nie zmieniam. Mówiącą Selvinę przerwiesz, zaczynając "
        "mówić.");
    m_gnome = std::make_unique<platform::GnomeCustomShortcut>();
    m_gnomeState = paragraph(QStringLiteral("Sprawdzam ustawienia klawiatury GNOME…"));
    box->addWidget(m_gnomeState);
    m_gnomeButton = button(QStringLiteral("Dodaj skrót do GNOME"), why);
    m_gnomeButton->setEnabled(false);
    box->addWidget(m_gnomeButton);
    box->addWidget(passiveText(why));
    connect(m_gnomeButton, &QPushButton::clicked, this, [this] {
        if (m_gnomeBusy)
            return;
        m_gnomeBusy = true;
        m_gnomeButton->setEnabled(false);
        const bool adding = !m_gnomeOurs;
        const HotkeyCombo combo = m_launch.skrot();
        auto done = adding ? m_gnome->add(combo.keyCode, combo.modifiers) : m_gnome->remove();
        done.then(this, [this, adding, combo](platform::GnomeCustomShortcut::Outcome outcome) {
            m_gnomeBusy = false;
            announce(m_gnomeButton, platform::GnomeCustomShortcut::sentenceFor(outcome, adding, combo.spokenName()));
            readGnomeBinding();
        });
    });
    readGnomeBinding();
}

void StartupPane::readGnomeBinding()
{
    m_gnome->read().then(this, [this](const platform::GnomeCustomShortcut::State& state) {
        if (!state.available) {
            const QString text = platform::GnomeCustomShortcut::sentenceFor(platform::GnomeCustomShortcut::Outcome::noSchema,
                                                                            true, QString());
            m_gnomeState->setText(text);
            m_gnomeState->setAccessibleName(text);
            m_gnomeButton->setEnabled(false);
            return;
        }
        showGnomeBinding(state.ours, state.binding);
    });
}

void StartupPane::showGnomeBinding(bool ours, const QString& binding)
{
    m_gnomeOurs = ours;
    // "<Control><Alt><Super>space" read as the combination is said elsewhere.
    QString spoken = binding;
    spoken.replace(QRegularExpression(QStringLiteral("<([^>]+)>")), QStringLiteral("\\1 plus "));
    spoken.replace(QStringLiteral("space"), QStringLiteral("Spacja"));
    const QString text = ours ? QStringLiteral("W ustawieniach GNOME jest skrót Selvina: ") + spoken + QStringLiteral(".")
                              : QStringLiteral("W ustawieniach GNOME nie ma skrótu Selvina.");
    m_gnomeState->setText(text);
    m_gnomeState->setAccessibleName(text);
    m_gnomeButton->setText(ours ? QStringLiteral("Usuń skrót z GNOME") : QStringLiteral("Dodaj skrót do GNOME"));
    m_gnomeButton->setAccessibleName(m_gnomeButton->text());
    m_gnomeButton->setEnabled(true);
}

QString StartupPane::gnomeBindingText() const
{
    return m_gnomeState != nullptr ? m_gnomeState->text() : QString();
}

void StartupPane::refresh()
{
    const QSignalBlocker b1(m_autostart), b2(m_zawolanie), b3(m_skrot);
    m_autostart->setChecked(m_launch.autostart());
    m_zawolanie->setChecked(m_launch.zawolanie());
    m_skrot->setChecked(m_launch.skrotWlaczony());
    const HotkeyCombo combo = m_launch.skrot();
    const QString words = QStringLiteral("Obecny skrót: ") + combo.spokenName();
    m_combination->setText(words);
    m_combination->setAccessibleName(words);
    m_skrot->setAccessibleDescription(words);
    // A recorded key outside the picker joins it, so that the picker always shows the key in use.
    QList<RadioChoice::Option> keys;
    for (std::uint32_t code : kPickerKeys)
        keys.append({HotkeyCombo::nazwaKlawisza(code), code, QString()});
    if (std::find(std::begin(kPickerKeys), std::end(kPickerKeys), combo.keyCode) == std::end(kPickerKeys))
        keys.append({HotkeyCombo::nazwaKlawisza(combo.keyCode), combo.keyCode, QString()});
    if (m_key->count() != keys.size() || m_key->currentValue() != QVariant(combo.keyCode)) {
        const bool hadFocus = m_key->isAncestorOf(QApplication::focusWidget());
        m_key->setOptions(keys, combo.keyCode);
        if (hadFocus && m_key->currentIndex() >= 0)
            m_key->buttons()[m_key->currentIndex()]->setFocus(Qt::OtherFocusReason);
    }
    m_key->setHelp(words);
    for (const auto& [bit, box] : m_modifiers) {
        const QSignalBlocker blocker(box);
        box->setChecked(combo.modifiers & bit);
    }
}

void StartupPane::setModifier(std::uint32_t bit, bool on)
{
    HotkeyCombo combo = m_launch.skrot();
    const std::uint32_t mask = on ? (combo.modifiers | bit) : (combo.modifiers & ~bit);
    const std::uint32_t anyModifier = HotkeyCombo::kSuper | HotkeyCombo::kShift | HotkeyCombo::kAlt | HotkeyCombo::kControl;
    if ((mask & anyModifier) == 0) {
        showMessage(kNoModifier);
        refresh(); // the toggle springs back
        return;
    }
    showMessage(QString());
    combo.modifiers = mask;
    m_launch.setSkrot(combo);
}

void StartupPane::showMessage(const QString& text)
{
    m_message->setText(text);
    m_message->setAccessibleName(text);
    m_message->setVisible(!text.isEmpty());
    // Said each time, also when the same refusal comes twice: the user pressed something again.
    announce(m_message, text);
}

QString StartupPane::shortcutMessage() const
{
    return m_message->text();
}

void StartupPane::startRecording()
{
    if (m_recording)
        return;
    m_recording = true;
    if (m_hotkeys != nullptr)
        m_hotkeys->suspend();
    qApp->installEventFilter(this);
    const QString note = QStringLiteral("Nagrywam — naciśnij kombinację. "
                                        "Naciśnij dowolną kombinację z modyfikatorem albo Esc, żeby przerwać");
    m_recordingNote->setText(note);
    m_recordingNote->setAccessibleName(note);
    m_recordingNote->setVisible(true);
    m_recordingNote->setFocus(); // the screen reader reads what to do next
}

void StartupPane::stopRecording()
{
    if (!m_recording)
        return;
    m_recording = false;
    qApp->removeEventFilter(this);
    m_recordingNote->setVisible(false);
    if (m_hotkeys != nullptr)
        m_hotkeys->resume();
    if (isVisible())
        m_record->setFocus();
}

bool StartupPane::eventFilter(QObject* watched, QEvent* event)
{
    if (!m_recording || event->type() != QEvent::KeyPress)
        return QWidget::eventFilter(watched, event);
    // Every key press goes to the recording: the shortcuts and the focus chain see none.
    auto* key = static_cast<QKeyEvent*>(event);
    if (isModifierKey(key->key()) || key->isAutoRepeat())
        return true;
    if (key->key() == Qt::Key_Escape) {
        stopRecording();
        return true;
    }
    const std::uint32_t mask = maskFor(key->modifiers());
    if (mask == 0) {
        showMessage(kNoModifier);
        return true;
    }
    const auto code = keyCodeFor(key->key(), key->nativeVirtualKey());
    if (!code) {
        showMessage(QStringLiteral("Tego klawisza nie da się przypisać. Wybierz inny."));
        return true;
    }
    showMessage(QString());
    stopRecording();
    m_launch.setSkrot({*code, mask});
    announce(m_combination, m_combination->text());
    return true;
}

void StartupPane::hideEvent(QHideEvent* event)
{
    stopRecording();
    QWidget::hideEvent(event);
}

} // namespace selvina::settingswindow
