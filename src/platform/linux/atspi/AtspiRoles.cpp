#include "platform/linux/atspi/AtspiRoles.h"

namespace selvina::platform::atspi {

RoleMapping roleMapping(AtspiRole role, States states)
{
    const bool multiLine = hasState(states, ATSPI_STATE_MULTI_LINE);
    const bool editable = hasState(states, ATSPI_STATE_EDITABLE);
    switch (role) {
    case ATSPI_ROLE_PUSH_BUTTON:
        return {QStringLiteral("AXButton"), {}};
    case ATSPI_ROLE_PUSH_BUTTON_MENU:
        return {QStringLiteral("AXMenuButton"), {}};
    case ATSPI_ROLE_TOGGLE_BUTTON:
        return {QStringLiteral("AXCheckBox"), QStringLiteral("AXToggle")};
    case ATSPI_ROLE_CHECK_BOX:
        return {QStringLiteral("AXCheckBox"), {}};
    case ATSPI_ROLE_RADIO_BUTTON:
        return {QStringLiteral("AXRadioButton"), {}};
    case ATSPI_ROLE_PAGE_TAB:
        return {QStringLiteral("AXRadioButton"), QStringLiteral("AXTabButton")};
    case ATSPI_ROLE_PAGE_TAB_LIST:
        return {QStringLiteral("AXTabGroup"), {}};
    case ATSPI_ROLE_PASSWORD_TEXT:
        return {QStringLiteral("AXTextField"), QStringLiteral("AXSecureTextField")};
    case ATSPI_ROLE_TEXT:
    case ATSPI_ROLE_ENTRY:
        return {multiLine ? QStringLiteral("AXTextArea") : QStringLiteral("AXTextField"), {}};
    case ATSPI_ROLE_LABEL:
    case ATSPI_ROLE_STATIC:
    case ATSPI_ROLE_CAPTION:
    case ATSPI_ROLE_PARAGRAPH:
        return {QStringLiteral("AXStaticText"), {}};
    case ATSPI_ROLE_HEADING:
        return {QStringLiteral("AXHeading"), {}};
    case ATSPI_ROLE_LINK:
        return {QStringLiteral("AXLink"), {}};
    case ATSPI_ROLE_DOCUMENT_WEB:
        return {QStringLiteral("AXWebArea"), {}};
    case ATSPI_ROLE_DOCUMENT_SPREADSHEET:
    case ATSPI_ROLE_DOCUMENT_TEXT:
    case ATSPI_ROLE_DOCUMENT_PRESENTATION:
        return {QStringLiteral("AXDocument"), {}};
    case ATSPI_ROLE_LANDMARK:
        return {QStringLiteral("AXGroup"), QStringLiteral("AXLandmark")};
    case ATSPI_ROLE_FORM:
        return {QStringLiteral("AXGroup"), QStringLiteral("AXForm")};
    case ATSPI_ROLE_LIST:
    case ATSPI_ROLE_LIST_BOX:
        return {QStringLiteral("AXList"), {}};
    case ATSPI_ROLE_LIST_ITEM:
    case ATSPI_ROLE_TABLE_ROW:
    case ATSPI_ROLE_TREE_ITEM:
        return {QStringLiteral("AXRow"), {}};
    case ATSPI_ROLE_TABLE:
        return {QStringLiteral("AXTable"), {}};
    case ATSPI_ROLE_TABLE_CELL:
        return {QStringLiteral("AXCell"), {}};
    case ATSPI_ROLE_TABLE_COLUMN_HEADER:
        return {QStringLiteral("AXColumn"), {}};
    case ATSPI_ROLE_TREE:
    case ATSPI_ROLE_TREE_TABLE:
        return {QStringLiteral("AXOutline"), {}};
    case ATSPI_ROLE_MENU_BAR:
        return {QStringLiteral("AXMenuBar"), {}};
    case ATSPI_ROLE_MENU:
        return {QStringLiteral("AXMenuBarItem"), {}};
    case ATSPI_ROLE_MENU_ITEM:
    case ATSPI_ROLE_CHECK_MENU_ITEM:
    case ATSPI_ROLE_RADIO_MENU_ITEM:
    case ATSPI_ROLE_TEAROFF_MENU_ITEM:
        return {QStringLiteral("AXMenuItem"), {}};
    case ATSPI_ROLE_COMBO_BOX:
        return {editable ? QStringLiteral("AXComboBox") : QStringLiteral("AXPopUpButton"), {}};
    case ATSPI_ROLE_SLIDER:
        return {QStringLiteral("AXSlider"), {}};
    case ATSPI_ROLE_SPIN_BUTTON:
        return {QStringLiteral("AXIncrementor"), {}};
    case ATSPI_ROLE_PROGRESS_BAR:
        return {QStringLiteral("AXProgressIndicator"), {}};
    case ATSPI_ROLE_LEVEL_BAR:
        return {QStringLiteral("AXLevelIndicator"), {}};
    case ATSPI_ROLE_SCROLL_BAR:
        return {QStringLiteral("AXScrollBar"), {}};
    case ATSPI_ROLE_SCROLL_PANE:
        return {QStringLiteral("AXScrollArea"), {}};
    case ATSPI_ROLE_SPLIT_PANE:
        return {QStringLiteral("AXSplitGroup"), {}};
    case ATSPI_ROLE_SEPARATOR:
        return {QStringLiteral("AXSplitter"), {}};
    case ATSPI_ROLE_TOOL_BAR:
        return {QStringLiteral("AXToolbar"), {}};
    case ATSPI_ROLE_COLOR_CHOOSER:
        return {QStringLiteral("AXColorWell"), {}};
    case ATSPI_ROLE_IMAGE:
    case ATSPI_ROLE_ICON:
        return {QStringLiteral("AXImage"), {}};
    case ATSPI_ROLE_FRAME:
    case ATSPI_ROLE_WINDOW:
    case ATSPI_ROLE_DIALOG:
    case ATSPI_ROLE_FILE_CHOOSER:
        return {QStringLiteral("AXWindow"), {}};
    case ATSPI_ROLE_ALERT:
        return {QStringLiteral("AXSheet"), {}};
    default:
        return {QStringLiteral("AXGroup"), {}}; // panels, fillers, sections, forms and the rest
    }
}

QString actionName(const QString& atspiActionName)
{
    const QString n = atspiActionName.toLower();
    // Firefox: jump (links), check/uncheck (check boxes), switch (tabs), press, click, activate;
    // LibreOffice and GTK 3/4: click; Qt: Press, Toggle, SetFocus. "clickAncestor" acts on another
    // element and counts as none.
    if (n == u"click" || n == u"press" || n == u"activate" || n == u"toggle" || n == u"jump" || n == u"select"
        || n == u"check" || n == u"uncheck" || n == u"switch" || n == u"cycle")
        return QStringLiteral("AXPress");
    if (n == u"open")
        return QStringLiteral("AXOpen");
    if (n == u"expand or contract" || n == u"expand" || n == u"collapse")
        return QStringLiteral("AXPress");
    if (n == u"menu" || n == u"showmenu" || n == u"popup" || n == u"show menu")
        return QStringLiteral("AXShowMenu");
    return {};
}

} // namespace selvina::platform::atspi
