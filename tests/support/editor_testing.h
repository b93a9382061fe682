#pragma once
// What the editor's window offers the tests alone.

#include <gtk/gtk.h>

// The dialog now open, or null; only one is ever open (editor/boxdialogs.cpp).
GtkWidget* openDialog();

// The selected row of the box list, -1 when none (editor/mainwindow.cpp).
int selectedRow();
