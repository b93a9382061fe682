#pragma once
// The editor's main window: two notebook pages, the settings' controls, the
// box list view and the buttons that act on it.

#include <gtk/gtk.h>

#include <string>

#include "editor/rcmodel.h"

// The handles of the window's widgets; all null before buildMainWindow and
// after quitEditor.
struct MainWidgets {
    GtkWidget* window = nullptr;
    GtkWidget* notebook = nullptr;
    GtkWidget* backlight = nullptr;  // check boxes
    GtkWidget* blink = nullptr;
    GtkWidget* runOnce = nullptr;
    GtkWidget* checkSize = nullptr;
    GtkWidget* push = nullptr;
    GtkWidget* interval = nullptr;  // entries
    GtkWidget* checkDelay = nullptr;
    GtkWidget* color = nullptr;
    GtkWidget* command = nullptr;
    GtkWidget* notify = nullptr;
    GtkWidget* passwordCommand = nullptr;
    GtkWidget* tokenCommand = nullptr;
    GtkWidget* boxView = nullptr;  // GtkCList, one row per entry
    GtkWidget* editButton = nullptr;
    GtkWidget* defaultButton = nullptr;
    GtkWidget* removeButton = nullptr;
    GtkWidget* addButtons[6] = {};  // Mbox, Maildir, MH, POP3, IMAP, Hotmail
    GtkWidget* saveButton = nullptr;
    GtkWidget* cancelButton = nullptr;
};

const MainWidgets& mainWidgets();

void buildMainWindow();
void loadWidgets();
void refillBoxView();
void onRowSelected(int row);
void onRowUnselected();
void setDefaultBox();
void removeSelectedBox();

// Copies the controls into the model and writes the file; false when the
// file could not be written (the message is printed, nothing is lost).
bool saveSettings();

// A modal error box over the main window, closed by its button.
void showErrorMessage(const std::string& text);

// Releases the model, destroys the window and leaves the main loop.
void quitEditor();

// The entry the selected row shows, or null.
BoxEntry* selectedEntry();
