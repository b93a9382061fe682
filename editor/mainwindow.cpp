#include "editor/mainwindow.h"

#include <cstdio>
#include <optional>
#include <string>
#include <string_view>

#include "common/numbers.h"
#include "editor/boxdialogs.h"

namespace {

MainWidgets widgets;
int selected = -1;

constexpr int columnCount = 6;

void packStart(GtkWidget* box, GtkWidget* child, gboolean expand, gboolean fill, guint padding) {
    gtk_box_pack_start(GTK_BOX(box), child, expand, fill, padding);
}

GtkWidget* newFrame() {
    GtkWidget* frame = gtk_frame_new(nullptr);
    gtk_frame_set_shadow_type(GTK_FRAME(frame), GTK_SHADOW_ETCHED_IN);
    return frame;
}

GtkWidget* newTable(guint rows, guint columns) {
    GtkWidget* table = gtk_table_new(rows, columns, FALSE);
    gtk_container_set_border_width(GTK_CONTAINER(table), 2);
    return table;
}

GtkWidget* newLeftLabel(const char* text) {
    GtkWidget* label = gtk_label_new(text);
    gtk_misc_set_alignment(GTK_MISC(label), 0.0, 0.5);
    return label;
}

// A label in column 0 and a new entry in column 1 of one table row.
GtkWidget* addEntryRow(GtkWidget* table, guint row, const char* title) {
    gtk_table_attach_defaults(GTK_TABLE(table), newLeftLabel(title), 0, 1, row, row + 1);
    GtkWidget* entry = gtk_entry_new();
    // A pasted command with a line feed would split its rc line in two.
    g_object_set(entry, "truncate-multiline", TRUE, nullptr);
    gtk_table_attach_defaults(GTK_TABLE(table), entry, 1, 2, row, row + 1);
    return entry;
}

template <typename Action>
GtkWidget* newButton(const char* title, Action action) {
    GtkWidget* button = gtk_button_new_with_label(title);
    g_signal_connect(button, "clicked", G_CALLBACK(action), nullptr);
    return button;
}

void setRowButtonsSensitive(gboolean sensitive) {
    for (GtkWidget* button : {widgets.editButton, widgets.defaultButton, widgets.removeButton})
        if (button) gtk_widget_set_sensitive(button, sensitive);
}

void setCheck(GtkWidget* check, int flag) {
    gtk_toggle_button_set_active(GTK_TOGGLE_BUTTON(check), flag ? TRUE : FALSE);
}

int checkFlag(GtkWidget* check) {
    return gtk_toggle_button_get_active(GTK_TOGGLE_BUTTON(check)) ? 1 : 0;
}

void setEntry(GtkWidget* entry, const std::optional<std::string>& text) {
    gtk_entry_set_text(GTK_ENTRY(entry), text ? text->c_str() : "");
}

std::string entryText(GtkWidget* entry) { return gtk_entry_get_text(GTK_ENTRY(entry)); }

// An empty entry leaves its key unset.
std::optional<std::string> entryTextOrNone(GtkWidget* entry) {
    std::string text = entryText(entry);
    if (text.empty()) return std::nullopt;
    return text;
}

// The list never shows a password: a mask, or, for a network box without
// one, where its credential comes from.
const char* shownPassword(const BoxEntry& entry) {
    std::string_view password = entry.password ? *entry.password : std::string_view();
    if (!password.empty() && password != noPasswordWord) return "********";
    return isNetworkType(entry.type) ? "(command)" : "";
}

// The row on which the default box is shown, or -1 when it names no row.
int defaultRow() {
    int number = editorSettings().DefaultBox;
    int rows = GTK_CLIST(widgets.boxView)->rows;
    return number >= 1 && number <= rows ? number - 1 : -1;
}

// GTK handlers: the widget arguments are not needed.
void rowSelectedHandler(GtkCList*, gint row, gint, GdkEvent*, gpointer) { onRowSelected(row); }
void rowUnselectedHandler(GtkCList*, gint, gint, GdkEvent*, gpointer) { onRowUnselected(); }
gboolean deleteHandler(GtkWidget*, GdkEvent*, gpointer) {
    quitEditor();
    return TRUE;  // quitEditor has destroyed the window already
}
void destroyHandler(GtkWidget*, gpointer) { quitEditor(); }
void saveHandler(GtkButton*, gpointer) {
    // A file that cannot be written keeps the editor open with the changes.
    if (saveSettings())
        quitEditor();
    else
        showErrorMessage(lastSaveFailure());
}
void cancelHandler(GtkButton*, gpointer) { quitEditor(); }
void editHandler(GtkButton*, gpointer) { editSelectedBox(); }
void setDefaultHandler(GtkButton*, gpointer) { setDefaultBox(); }
void removeHandler(GtkButton*, gpointer) { removeSelectedBox(); }
void addHandler(GtkButton* button, gpointer) {
    openAddDialog(static_cast<AddKind>(
        GPOINTER_TO_INT(g_object_get_data(G_OBJECT(button), "quorvik-add-kind"))));
}

GtkWidget* buildMiscPage() {
    GtkWidget* page = gtk_vbox_new(FALSE, 1);

    GtkWidget* frameA = newFrame();
    packStart(page, frameA, FALSE, TRUE, 1);
    GtkWidget* checks = gtk_vbox_new(FALSE, 1);
    gtk_container_add(GTK_CONTAINER(frameA), checks);
    widgets.backlight = gtk_check_button_new_with_label("Back light");
    widgets.blink = gtk_check_button_new_with_label("Blink");
    widgets.checkSize = gtk_check_button_new_with_label("Check size");
    widgets.push = gtk_check_button_new_with_label("Push");
    for (GtkWidget* check : {widgets.backlight, widgets.blink, widgets.checkSize, widgets.push})
        packStart(checks, check, FALSE, TRUE, 1);

    GtkWidget* frameB = newFrame();
    packStart(page, frameB, FALSE, TRUE, 1);
    GtkWidget* numbers = newTable(3, 2);
    gtk_container_add(GTK_CONTAINER(frameB), numbers);
    widgets.interval = addEntryRow(numbers, 0, "Interval : ");
    widgets.checkDelay = addEntryRow(numbers, 1, "Check delay : ");
    widgets.color = addEntryRow(numbers, 2, "Color : ");

    GtkWidget* frameC = newFrame();
    packStart(page, frameC, FALSE, FALSE, 1);
    GtkWidget* commands = newTable(3, 2);
    gtk_container_add(GTK_CONTAINER(frameC), commands);
    widgets.command = addEntryRow(commands, 0, "Command : ");
    widgets.notify = addEntryRow(commands, 1, "Notify : ");
    widgets.runOnce = gtk_check_button_new_with_label("Run once");
    gtk_table_attach_defaults(GTK_TABLE(commands), widgets.runOnce, 0, 2, 2, 3);

    GtkWidget* frameD = newFrame();
    packStart(page, frameD, FALSE, FALSE, 1);
    GtkWidget* credentials = newTable(2, 2);
    gtk_container_add(GTK_CONTAINER(frameD), credentials);
    widgets.passwordCommand = addEntryRow(credentials, 0, "Password command : ");
    widgets.tokenCommand = addEntryRow(credentials, 1, "Token command : ");
    return page;
}

GtkWidget* buildBoxesPage() {
    GtkWidget* page = gtk_vbox_new(FALSE, 1);

    GtkWidget* scrolled = gtk_scrolled_window_new(nullptr, nullptr);
    gtk_scrolled_window_set_policy(GTK_SCROLLED_WINDOW(scrolled), GTK_POLICY_AUTOMATIC,
                                   GTK_POLICY_ALWAYS);
    packStart(page, scrolled, TRUE, TRUE, 1);
    const gchar* titles[columnCount] = {" D ",          " Box Type   ", " Mail Box   ",
                                        " Username   ", " Password   ", " Folder     "};
    widgets.boxView = gtk_clist_new_with_titles(columnCount, const_cast<gchar**>(titles));
    gtk_clist_set_auto_sort(GTK_CLIST(widgets.boxView), FALSE);
    // The titles alone would cut a path after a dozen letters.
    for (int column = 0; column < columnCount; ++column)
        gtk_clist_set_column_auto_resize(GTK_CLIST(widgets.boxView), column, TRUE);
    gtk_container_add(GTK_CONTAINER(scrolled), widgets.boxView);
    g_signal_connect(widgets.boxView, "select-row", G_CALLBACK(rowSelectedHandler), nullptr);
    g_signal_connect(widgets.boxView, "unselect-row", G_CALLBACK(rowUnselectedHandler), nullptr);
    selected = -1;

    GtkWidget* rowFrame = newFrame();
    packStart(page, rowFrame, FALSE, TRUE, 1);
    GtkWidget* rowTable = newTable(1, 3);
    gtk_container_add(GTK_CONTAINER(rowFrame), rowTable);
    widgets.editButton = newButton(" Edit entry ", editHandler);
    widgets.defaultButton = newButton(" Set default ", setDefaultHandler);
    widgets.removeButton = newButton(" Remove box ", removeHandler);
    guint column = 0;
    for (GtkWidget* button : {widgets.editButton, widgets.defaultButton, widgets.removeButton}) {
        gtk_table_attach_defaults(GTK_TABLE(rowTable), button, column, column + 1, 0, 1);
        ++column;
    }
    setRowButtonsSensitive(FALSE);

    GtkWidget* addFrame = newFrame();
    packStart(page, addFrame, FALSE, TRUE, 1);
    GtkWidget* addTable = newTable(3, 2);
    gtk_container_add(GTK_CONTAINER(addFrame), addTable);
    const char* addTitles[6] = {" Add Mbox ", " Add Maildir ", " Add MH ",
                                " Add POP3 ", " Add IMAP ",    " Add Hotmail "};
    for (guint i = 0; i < 6; ++i) {
        GtkWidget* button = newButton(addTitles[i], addHandler);
        g_object_set_data(G_OBJECT(button), "quorvik-add-kind", GINT_TO_POINTER(i));
        gtk_table_attach_defaults(GTK_TABLE(addTable), button, i / 3, i / 3 + 1, i % 3, i % 3 + 1);
        widgets.addButtons[i] = button;
    }
    return page;
}

void appendPage(GtkWidget* notebook, GtkWidget* page, const char* title) {
    GtkWidget* label = newLeftLabel(title);
    gtk_notebook_append_page(GTK_NOTEBOOK(notebook), page, label);
}

}  // namespace

const MainWidgets& mainWidgets() { return widgets; }

void showErrorMessage(const std::string& text) {
    GtkWidget* dialog =
        gtk_message_dialog_new(GTK_WINDOW(widgets.window),
                               GtkDialogFlags(GTK_DIALOG_MODAL | GTK_DIALOG_DESTROY_WITH_PARENT),
                               GTK_MESSAGE_ERROR, GTK_BUTTONS_CLOSE, "%s", text.c_str());
    g_signal_connect(dialog, "response", G_CALLBACK(gtk_widget_destroy), nullptr);
    gtk_widget_show(dialog);
}

// For the tests (tests/support/editor_testing.h).
int selectedRow() { return selected; }

BoxEntry* selectedEntry() {
    if (selected < 0 || !widgets.boxView) return nullptr;
    return static_cast<BoxEntry*>(gtk_clist_get_row_data(GTK_CLIST(widgets.boxView), selected));
}

void buildMainWindow() {
    widgets = MainWidgets{};
    widgets.window = gtk_window_new(GTK_WINDOW_TOPLEVEL);
    gtk_window_set_title(GTK_WINDOW(widgets.window), "Quorvik-Config");
    // A minimum only: a size request would squeeze the pages into it.
    GdkGeometry smallest{};
    smallest.min_width = 432;
    smallest.min_height = 320;
    gtk_window_set_geometry_hints(GTK_WINDOW(widgets.window), nullptr, &smallest,
                                  GDK_HINT_MIN_SIZE);
    g_signal_connect(widgets.window, "delete_event", G_CALLBACK(deleteHandler), nullptr);
    g_signal_connect(widgets.window, "destroy", G_CALLBACK(destroyHandler), nullptr);

    GtkWidget* outer = gtk_vbox_new(FALSE, 1);
    gtk_container_set_border_width(GTK_CONTAINER(outer), 1);
    gtk_container_add(GTK_CONTAINER(widgets.window), outer);

    widgets.notebook = gtk_notebook_new();
    appendPage(widgets.notebook, buildMiscPage(), " Misc options ");
    appendPage(widgets.notebook, buildBoxesPage(), " Mail boxes ");
    packStart(outer, widgets.notebook, TRUE, TRUE, 1);

    GtkWidget* buttons = gtk_hbox_new(FALSE, 1);
    packStart(outer, buttons, FALSE, TRUE, 1);
    widgets.saveButton = newButton(" Save ", saveHandler);
    gtk_widget_set_can_default(widgets.saveButton, TRUE);
    packStart(buttons, widgets.saveButton, TRUE, TRUE, 0);
    widgets.cancelButton = newButton(" Cancel ", cancelHandler);
    gtk_widget_set_can_default(widgets.cancelButton, TRUE);
    packStart(buttons, widgets.cancelButton, TRUE, TRUE, 0);
    gtk_widget_grab_default(widgets.saveButton);

    gtk_widget_show_all(widgets.window);
}

void loadWidgets() {
    const EditorSettings& s = editorSettings();
    setCheck(widgets.backlight, s.Backlight);
    setCheck(widgets.blink, s.Blink);
    setCheck(widgets.runOnce, s.RunOnce);
    setCheck(widgets.checkSize, s.CheckSize);
    setCheck(widgets.push, s.Push.value_or(flagDefault(rcKeyNamed("Push"))));
    setEntry(widgets.color, s.Color);
    setEntry(widgets.command, s.Command);
    setEntry(widgets.notify, s.Notify);
    setEntry(widgets.passwordCommand, s.PasswordCommand);
    setEntry(widgets.tokenCommand, s.TokenCommand);
    setEntry(widgets.interval, std::to_string(s.Interval));
    setEntry(widgets.checkDelay, std::to_string(s.CheckDelay));
    refillBoxView();
}

void refillBoxView() {
    GtkCList* view = GTK_CLIST(widgets.boxView);
    gtk_clist_clear(view);
    selected = -1;
    gtk_clist_freeze(view);
    int position = 0;
    for (BoxEntry& entry : editorSettings().entryList) {
        const char* mark = position + 1 == editorSettings().DefaultBox ? "X" : "";
        const gchar* texts[columnCount] = {mark,
                                           entry.type.c_str(),
                                           entry.path.c_str(),
                                           entry.user ? entry.user->c_str() : "",
                                           shownPassword(entry),
                                           entry.folder ? entry.folder->c_str() : ""};
        int row = gtk_clist_append(view, const_cast<gchar**>(texts));
        gtk_clist_set_row_data(view, row, &entry);
        ++position;
    }
    gtk_clist_thaw(view);
    onRowUnselected();
}

void onRowSelected(int row) {
    selected = row;
    setRowButtonsSensitive(TRUE);
}

void onRowUnselected() {
    selected = -1;
    setRowButtonsSensitive(FALSE);
}

void setDefaultBox() {
    if (selected < 0) return;
    GtkCList* view = GTK_CLIST(widgets.boxView);
    int old = defaultRow();
    if (old >= 0) gtk_clist_set_text(view, old, 0, "");
    // Pressed on the default box, it goes back to showing all boxes.
    if (old == selected) {
        editorSettings().DefaultBox = 0;
        return;
    }
    gtk_clist_set_text(view, selected, 0, "X");
    // The monitor counts boxes from 1; 0 would select all of them.
    editorSettings().DefaultBox = selected + 1;
}

void removeSelectedBox() {
    BoxEntry* doomed = selectedEntry();
    if (!doomed) return;
    EditorSettings& s = editorSettings();
    int position = 0;
    auto it = s.entryList.begin();
    while (it != s.entryList.end() && &*it != doomed) ++it, ++position;
    if (it == s.entryList.end()) {
        std::fprintf(stderr, "Error when removing mail box...\n");
    } else {
        // Keep the mark on the same box: the numbers after this one shift down.
        if (s.DefaultBox == position + 1)
            s.DefaultBox = 0;
        else if (s.DefaultBox > position + 1)
            --s.DefaultBox;
        s.entryList.erase(it);
    }
    refillBoxView();
}

bool saveSettings() {
    EditorSettings& s = editorSettings();
    s.Interval = leadingInteger(entryText(widgets.interval));
    s.CheckDelay = leadingInteger(entryText(widgets.checkDelay));
    s.Color = entryText(widgets.color);
    s.Command = entryText(widgets.command);
    s.Notify = entryText(widgets.notify);
    s.PasswordCommand = entryTextOrNone(widgets.passwordCommand);
    s.TokenCommand = entryTextOrNone(widgets.tokenCommand);
    s.Backlight = checkFlag(widgets.backlight);
    s.Blink = checkFlag(widgets.blink);
    s.RunOnce = checkFlag(widgets.runOnce);
    s.CheckSize = checkFlag(widgets.checkSize);
    // Left at its default, a key the file did not have stays out of it.
    if (int push = checkFlag(widgets.push); s.Push || push != flagDefault(rcKeyNamed("Push")))
        s.Push = push;
    return saveRcFile();
}

void quitEditor() {
    EditorSettings& s = editorSettings();
    // The rows point into the list: the window goes first.
    if (GtkWidget* window = widgets.window) {
        widgets = MainWidgets{};
        selected = -1;
        gtk_widget_destroy(window);
    }
    s.Command.reset();
    s.Notify.reset();
    s.rcPath.clear();
    s.Color.reset();
    s.PasswordCommand.reset();
    s.TokenCommand.reset();
    freeEntryList(s.entryList);
    if (gtk_main_level() > 0) gtk_main_quit();
}
