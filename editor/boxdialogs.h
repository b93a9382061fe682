#pragma once
// The small modal dialogs that add and edit one box: a file selector for the
// local types, a one-line entry for the network types.

#include <gtk/gtk.h>

#include <functional>
#include <optional>
#include <string>
#include <string_view>

// The six add buttons, in the order of the main window's table.
enum class AddKind { mbox, maildir, mh, pop3, imap, hotmail };

// Given the selected file name or the entry's whole text.
using DialogAction = std::function<void(const std::string&)>;

// Each returns the new dialog, which destroys itself when it closes.
GtkWidget* openFileDialog(const char* title, const std::optional<std::string>& initialPath,
                          DialogAction ok);
GtkWidget* openEntryDialog(const char* title, const std::optional<std::string>& path,
                           const std::optional<std::string>& user,
                           const std::optional<std::string>& password,
                           const std::optional<std::string>& folder, DialogAction ok);

void openAddDialog(AddKind kind);
void addBoxFromDialog(const char* type, const std::string& text);
void editSelectedBox();
void replaceSelectedBox(std::string path, std::optional<std::string> user,
                        std::optional<std::string> password, std::optional<std::string> folder);
