#include "editor/boxdialogs.h"

#include <algorithm>
#include <cstdio>
#include <vector>

#include "common/text.h"
#include "editor/mainwindow.h"
#include "editor/rcmodel.h"

namespace {

GtkWidget* current = nullptr;

// The four words after the type, each at its limit, one blank apart: an
// edit never starts from a cut word.
constexpr std::size_t initialTextLimit = longestDefinition - definitionWordLimits[0] - 1;

struct AddButton {
    const char* title;
    const char* type;
    bool local;
};
constexpr AddButton addButtons[6] = {
    {"Add local mail box...", "MBOX", true}, {"Add Maildir mail box...", "MAILDIR", true},
    {"Add MH mail box...", "MH", true},      {"Add POP3 mail box...", "POP3", false},
    {"Add IMAP mail box...", "IMAP", false}, {"Add Hotmail mail box...", "HOTMAIL", false},
};

struct EditDialog {
    const char* type;
    const char* title;
};
constexpr EditDialog editDialogs[6] = {
    {"MBOX", "Edit local mail box..."}, {"MAILDIR", "Edit Maildir mail box..."},
    {"MH", "Edit MH mail box..."},      {"IMAP", "Edit IMAP mail box..."},
    {"POP3", "Edit POP3 mail box..."},  {"HOTMAIL", "Edit Hotmail mail box..."},
};

void deleteAction(gpointer action) { delete static_cast<DialogAction*>(action); }

void forgetDialog(GtkWidget* dialog, gpointer) {
    if (current == dialog) current = nullptr;
}

gboolean destroyOnDelete(GtkWidget* dialog, GdkEvent*, gpointer) {
    gtk_widget_destroy(dialog);
    return TRUE;
}

void destroyDialog(GtkButton*, gpointer dialog) { gtk_widget_destroy(GTK_WIDGET(dialog)); }

// Common set-up: the action rides on the dialog and dies with it.
void prepareDialog(GtkWidget* dialog, DialogAction ok) {
    if (current) gtk_widget_destroy(current);
    current = dialog;
    g_object_set_data_full(G_OBJECT(dialog), "quorvik-action", new DialogAction(std::move(ok)),
                           deleteAction);
    g_signal_connect(dialog, "delete_event", G_CALLBACK(destroyOnDelete), nullptr);
    g_signal_connect(dialog, "destroy", G_CALLBACK(forgetDialog), nullptr);
    if (GtkWidget* window = mainWidgets().window) {
        gtk_window_set_transient_for(GTK_WINDOW(dialog), GTK_WINDOW(window));
        gtk_window_set_destroy_with_parent(GTK_WINDOW(dialog), TRUE);
    }
}

void runAction(GtkWidget* dialog, const std::string& result) {
    auto* action =
        static_cast<DialogAction*>(g_object_get_data(G_OBJECT(dialog), "quorvik-action"));
    if (action && *action) (*action)(result);
}

void fileOkHandler(GtkButton*, gpointer dialog) {
    std::string name = gtk_file_selection_get_filename(GTK_FILE_SELECTION(GTK_WIDGET(dialog)));
    runAction(GTK_WIDGET(dialog), name);
    gtk_widget_destroy(GTK_WIDGET(dialog));
}

void entryOkHandler(GtkButton*, gpointer dialog) {
    auto* entry = static_cast<GtkWidget*>(g_object_get_data(G_OBJECT(dialog), "quorvik-entry"));
    std::string text = gtk_entry_get_text(GTK_ENTRY(entry));
    runAction(GTK_WIDGET(dialog), text);
    gtk_widget_destroy(GTK_WIDGET(dialog));
}

bool hasWhiteSpace(const std::string& text) {
    return std::any_of(text.begin(), text.end(), isWhiteSpace);
}

// A refused box is told on standard error and, since the list just stays
// as it was, in a message box too.
void reportRefusal(const std::string& message) {
    std::fprintf(stderr, "%s\n", message.c_str());
    showErrorMessage(message);
}

// An edit the file could not hold: a word too long for the readers, or a
// file name that the readers would split at its blanks. The words are those
// after the type.
bool refuseEdit(const std::vector<std::string>& words) {
    if (auto overlong = firstOverlongWord(words, 1)) {
        reportRefusal(overlongWordMessage(*overlong));
        return true;
    }
    if (std::any_of(words.begin(), words.end(), hasWhiteSpace)) {
        reportRefusal("Invalid Mail box parameters !");
        return true;
    }
    return false;
}

}  // namespace

// For the tests (tests/support/editor_testing.h).
GtkWidget* openDialog() { return current; }

GtkWidget* openFileDialog(const char* title, const std::optional<std::string>& initialPath,
                          DialogAction ok) {
    GtkWidget* dialog = gtk_file_selection_new(title);
    prepareDialog(dialog, std::move(ok));
    GtkFileSelection* selector = GTK_FILE_SELECTION(dialog);
    g_signal_connect(selector->ok_button, "clicked", G_CALLBACK(fileOkHandler), dialog);
    g_signal_connect(selector->cancel_button, "clicked", G_CALLBACK(destroyDialog), dialog);
    if (initialPath) gtk_file_selection_set_filename(selector, initialPath->c_str());
    gtk_window_set_modal(GTK_WINDOW(dialog), TRUE);
    gtk_widget_show(dialog);
    return dialog;
}

GtkWidget* openEntryDialog(const char* title, const std::optional<std::string>& path,
                           const std::optional<std::string>& user,
                           const std::optional<std::string>& password,
                           const std::optional<std::string>& folder, DialogAction ok) {
    GtkWidget* dialog = gtk_dialog_new();
    gtk_window_set_title(GTK_WINDOW(dialog), title);
    prepareDialog(dialog, std::move(ok));

    GtkWidget* content = GTK_DIALOG(dialog)->vbox;
    gtk_container_set_border_width(GTK_CONTAINER(content), 6);
    std::string initial = path.value_or("server") + " " + user.value_or("username") + " " +
                          password.value_or("password") + " " + folder.value_or("[folder]");
    if (initial.size() > initialTextLimit) initial.resize(initialTextLimit);
    GtkWidget* entry = gtk_entry_new();
    gtk_entry_set_text(GTK_ENTRY(entry), initial.c_str());
    gtk_entry_set_activates_default(GTK_ENTRY(entry), TRUE);  // Return presses OK
    g_object_set_data(G_OBJECT(dialog), "quorvik-entry", entry);
    for (GtkWidget* child :
         {gtk_label_new("Enter box informations : "), entry,
          gtk_label_new("You should enter the following space-separated informations :"),
          gtk_label_new("server username password")})
        gtk_box_pack_start(GTK_BOX(content), child, FALSE, FALSE, 1);

    GtkWidget* actions = GTK_DIALOG(dialog)->action_area;
    GtkWidget* okButton = gtk_button_new_with_label("OK");
    gtk_widget_set_can_default(okButton, TRUE);
    g_signal_connect(okButton, "clicked", G_CALLBACK(entryOkHandler), dialog);
    gtk_box_pack_start(GTK_BOX(actions), okButton, TRUE, TRUE, 0);
    GtkWidget* cancelButton = gtk_button_new_with_label("Cancel");
    gtk_widget_set_can_default(cancelButton, TRUE);
    g_signal_connect(cancelButton, "clicked", G_CALLBACK(destroyDialog), dialog);
    gtk_box_pack_start(GTK_BOX(actions), cancelButton, TRUE, TRUE, 0);
    gtk_widget_grab_default(okButton);

    gtk_window_set_modal(GTK_WINDOW(dialog), TRUE);
    gtk_widget_show_all(dialog);
    return dialog;
}

void openAddDialog(AddKind kind) {
    const AddButton& button = addButtons[static_cast<int>(kind)];
    const char* type = button.type;
    if (button.local) {
        openFileDialog(button.title, std::nullopt, [type](const std::string& name) {
            // The readers split a line at blanks: such a name cannot be stored.
            if (hasWhiteSpace(name)) {
                reportRefusal("Invalid Mail box parameters !");
                return;
            }
            addBoxFromDialog(type, name);
        });
    } else {
        openEntryDialog(button.title, std::nullopt, std::nullopt, std::nullopt, std::nullopt,
                        [type](const std::string& text) { addBoxFromDialog(type, text); });
    }
}

void addBoxFromDialog(const char* type, const std::string& text) {
    std::string definition = std::string(type) + " " + text;
    std::string refusal;
    addBoxEntry(editorSettings().entryList, definition, MissingPath::refuse, &refusal);
    refillBoxView();
    if (!refusal.empty()) showErrorMessage(refusal);
}

void editSelectedBox() {
    const BoxEntry* entry = selectedEntry();
    if (!entry) return;
    for (const EditDialog& edit : editDialogs) {
        if (entry->type != edit.type) continue;
        if (isLocalType(entry->type)) {
            openFileDialog(edit.title, entry->path, [](const std::string& name) {
                if (refuseEdit({name})) return;
                replaceSelectedBox(name, std::nullopt, std::nullopt, std::nullopt);
            });
        } else {
            openEntryDialog(edit.title, entry->path, entry->user, entry->password, entry->folder,
                            [](const std::string& text) {
                                std::vector<std::string> words = splitWords(text, 4);
                                words.resize(4);
                                if (refuseEdit(words)) return;
                                replaceSelectedBox(words[0], words[1], words[2], words[3]);
                            });
        }
        return;
    }
}

void replaceSelectedBox(std::string path, std::optional<std::string> user,
                        std::optional<std::string> password, std::optional<std::string> folder) {
    BoxEntry* entry = selectedEntry();
    if (!entry) return;
    entry->path = std::move(path);
    entry->user = std::move(user);
    entry->password = std::move(password);
    entry->folder = std::move(folder);
    refillBoxView();
}
