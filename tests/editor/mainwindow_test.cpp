#include "editor/mainwindow.h"
#include "tests/support/editor_testing.h"

#include <gdk/gdkkeysyms.h>
#include <gtest/gtest.h>
#include <gtk/gtk.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "editor/boxdialogs.h"
#include "editor/rcmodel.h"
#include "tests/editor/testfiles.h"
#include "tests/support/xvfb.h"

using editortest::dataDir;
using editortest::readFile;
using editortest::TempDir;
using editortest::writeFile;

namespace {

class GtkEnvironment : public ::testing::Environment {
public:
    void SetUp() override {
        server.emplace(XvfbScreen{.width = 1024, .height = 768});
        setenv("DISPLAY", server->name().c_str(), 1);
        gtk_init(nullptr, nullptr);
    }
    void TearDown() override { server.reset(); }

private:
    std::optional<Xvfb> server;
};

const auto* const environment = ::testing::AddGlobalTestEnvironment(new GtkEnvironment);

const std::string mboxPath = dataDir + "/mbox-sample";

void pump() {
    while (gtk_events_pending()) gtk_main_iteration_do(FALSE);
}

// Until the X server has answered all GTK asked and GTK has handled all it
// got: a shown window's size comes back from the server before GTK lays its
// widgets out.
void settle() {
    for (;;) {
        gdk_flush();
        if (!gtk_events_pending()) return;
        pump();
    }
}

GtkCList* view() { return GTK_CLIST(mainWidgets().boxView); }

std::string cell(int row, int column) {
    gchar* text = nullptr;
    if (!gtk_clist_get_text(view(), row, column, &text)) return "<none>";
    return text;
}

std::vector<std::string> rowTexts(int row) {
    std::vector<std::string> texts;
    for (int column = 0; column < 6; ++column) texts.push_back(cell(row, column));
    return texts;
}

// The rows' column 0: which row carries the default mark.
int markedRow() {
    int marked = -1;
    for (int row = 0; row < view()->rows; ++row)
        if (cell(row, 0) == "X") marked = marked == -1 ? row : -2;
    return marked;
}

bool sensitive(GtkWidget* widget) { return gtk_widget_is_sensitive(widget); }

bool rowButtonsSensitive() {
    const MainWidgets& w = mainWidgets();
    bool edit = sensitive(w.editButton);
    EXPECT_EQ(sensitive(w.defaultButton), edit);
    EXPECT_EQ(sensitive(w.removeButton), edit);
    return edit;
}

GtkWidget* findWidget(GtkWidget* root, const std::function<bool(GtkWidget*)>& match) {
    if (match(root)) return root;
    if (!GTK_IS_CONTAINER(root)) return nullptr;
    GList* children = gtk_container_get_children(GTK_CONTAINER(root));
    GtkWidget* found = nullptr;
    for (GList* item = children; item && !found; item = item->next)
        found = findWidget(GTK_WIDGET(item->data), match);
    g_list_free(children);
    return found;
}

GtkWidget* buttonLabelled(GtkWidget* root, const std::string& label) {
    return findWidget(root, [&](GtkWidget* widget) {
        return GTK_IS_BUTTON(widget) && gtk_button_get_label(GTK_BUTTON(widget)) &&
               label == gtk_button_get_label(GTK_BUTTON(widget));
    });
}

void click(GtkWidget* button) {
    gtk_button_clicked(GTK_BUTTON(button));
    pump();
}

void selectRow(int row) {
    gtk_clist_select_row(view(), row, 0);
    pump();
}

std::string dialogTitle() { return gtk_window_get_title(GTK_WINDOW(openDialog())); }

GtkWidget* dialogEntry() {
    return findWidget(openDialog(), [](GtkWidget* widget) { return GTK_IS_ENTRY(widget); });
}

// Sets the entry dialog's text (when given) and presses OK.
void confirmEntryDialog(const std::optional<std::string>& text = std::nullopt) {
    if (text) gtk_entry_set_text(GTK_ENTRY(dialogEntry()), text->c_str());
    click(buttonLabelled(openDialog(), "OK"));
}

void confirmFileDialog(const std::string& name) {
    GtkFileSelection* selector = GTK_FILE_SELECTION(openDialog());
    gtk_file_selection_set_filename(selector, name.c_str());
    pump();
    click(selector->ok_button);
}

// The text of the message box now shown, "" when there is none. The box is
// closed on the way, as the user would.
std::string takeMessage() {
    GtkWidget* message = nullptr;
    GList* toplevels = gtk_window_list_toplevels();
    for (GList* item = toplevels; item; item = item->next) {
        if (GTK_IS_MESSAGE_DIALOG(item->data) && gtk_widget_get_visible(GTK_WIDGET(item->data))) {
            EXPECT_EQ(message, nullptr) << "two message boxes";
            message = GTK_WIDGET(item->data);
        }
    }
    g_list_free(toplevels);
    if (!message) return "";
    EXPECT_TRUE(gtk_window_get_modal(GTK_WINDOW(message)));
    EXPECT_EQ(gtk_window_get_transient_for(GTK_WINDOW(message)), GTK_WINDOW(mainWidgets().window));
    gchar* text = nullptr;
    g_object_get(message, "text", &text, nullptr);
    std::string result = text;
    g_free(text);
    gtk_dialog_response(GTK_DIALOG(message), GTK_RESPONSE_CLOSE);
    pump();
    return result;
}

std::string withoutLineFeed(std::string text) {
    if (!text.empty() && text.back() == '\n') text.pop_back();
    return text;
}

struct Words {
    std::string type, path;
    std::optional<std::string> user, password, folder;
    bool operator==(const Words&) const = default;
};

Words wordsOf(const BoxEntry& entry) {
    return {entry.type, entry.path, entry.user, entry.password, entry.folder};
}

Words lastEntry() { return wordsOf(editorSettings().entryList.back()); }

std::vector<std::string> paths() {
    std::vector<std::string> found;
    for (const BoxEntry& entry : editorSettings().entryList) found.push_back(entry.path);
    return found;
}

class MainWindow : public ::testing::Test {
protected:
    void open(const std::string& text, const std::string& name = "rc") {
        rcPath = dir.path(name);
        writeFile(rcPath, text);
        resetEditorSettings();
        editorSettings().rcPath = rcPath;
        loadRcFile();
        buildMainWindow();
        loadWidgets();
        pump();
    }
    void TearDown() override {
        if (mainWidgets().window) quitEditor();
        pump();
        resetEditorSettings();
    }

    TempDir dir;
    std::string rcPath;
};

const std::string threeBoxes = "Mailbox = MBOX " + mboxPath +
                               "\n"
                               "Mailbox = POP3 pop.example.org\n"
                               "Mailbox = IMAP imap.example.org:993 alice secret Work\n";

}  // namespace

TEST_F(MainWindow, ShowsTheModel) {
    open(
        "Backlight = on\nBlink = off\nRunOnce = yes\nCheckSize = no\nInterval = 3\n"
        "CheckDelay = 45\nColor = red\nCommand = mutt\nDefaultBox = 2\n" +
        threeBoxes);
    const MainWidgets& w = mainWidgets();
    EXPECT_STREQ(gtk_window_get_title(GTK_WINDOW(w.window)), "Quorvik-Config");
    EXPECT_TRUE(gtk_widget_get_visible(w.window));
    struct Check {
        GtkWidget* widget;
        const char* label;
        bool active;
    } checks[] = {{w.backlight, "Back light", true},
                  {w.blink, "Blink", false},
                  {w.runOnce, "Run once", true},
                  {w.checkSize, "Check size", false},
                  {w.push, "Push", true}};  // on when the file does not say
    for (const Check& c : checks) {
        SCOPED_TRACE(c.label);
        EXPECT_STREQ(gtk_button_get_label(GTK_BUTTON(c.widget)), c.label);
        EXPECT_EQ(gtk_toggle_button_get_active(GTK_TOGGLE_BUTTON(c.widget)), c.active);
    }
    EXPECT_STREQ(gtk_entry_get_text(GTK_ENTRY(w.interval)), "3");
    EXPECT_STREQ(gtk_entry_get_text(GTK_ENTRY(w.checkDelay)), "45");
    EXPECT_STREQ(gtk_entry_get_text(GTK_ENTRY(w.color)), "red");
    EXPECT_STREQ(gtk_entry_get_text(GTK_ENTRY(w.command)), "mutt");
    EXPECT_STREQ(gtk_entry_get_text(GTK_ENTRY(w.notify)), "");
    EXPECT_STREQ(gtk_entry_get_text(GTK_ENTRY(w.passwordCommand)), "");
    EXPECT_STREQ(gtk_entry_get_text(GTK_ENTRY(w.tokenCommand)), "");

    GtkNotebook* notebook = GTK_NOTEBOOK(w.notebook);
    ASSERT_EQ(gtk_notebook_get_n_pages(notebook), 2);
    EXPECT_STREQ(gtk_notebook_get_tab_label_text(notebook, gtk_notebook_get_nth_page(notebook, 0)),
                 " Misc options ");
    EXPECT_STREQ(gtk_notebook_get_tab_label_text(notebook, gtk_notebook_get_nth_page(notebook, 1)),
                 " Mail boxes ");

    const char* titles[] = {" D ",          " Box Type   ", " Mail Box   ",
                            " Username   ", " Password   ", " Folder     "};
    for (int column = 0; column < 6; ++column)
        EXPECT_STREQ(gtk_clist_get_column_title(view(), column), titles[column]);
    ASSERT_EQ(view()->rows, 3);
    using Row = std::vector<std::string>;
    EXPECT_EQ(rowTexts(0), (Row{"", "MBOX", mboxPath, "", "", ""}));
    EXPECT_EQ(rowTexts(1), (Row{"X", "POP3", "pop.example.org", "", "(command)", ""}));
    EXPECT_EQ(rowTexts(2), (Row{"", "IMAP", "imap.example.org:993", "alice", "********", "Work"}));
    int row = 0;
    for (BoxEntry& entry : editorSettings().entryList)
        EXPECT_EQ(gtk_clist_get_row_data(view(), row++), &entry);

    EXPECT_EQ(selectedRow(), -1);
    EXPECT_FALSE(rowButtonsSensitive());
    EXPECT_TRUE(gtk_widget_has_default(w.saveButton));
    const char* addTitles[] = {" Add Mbox ", " Add Maildir ", " Add MH ",
                               " Add POP3 ", " Add IMAP ",    " Add Hotmail "};
    for (int i = 0; i < 6; ++i)
        EXPECT_STREQ(gtk_button_get_label(GTK_BUTTON(w.addButtons[i])), addTitles[i]);
}

TEST_F(MainWindow, EveryControlOfPageOneHasItsRoom) {
    open(threeBoxes);
    settle();
    const MainWidgets& w = mainWidgets();
    EXPECT_GE(w.window->allocation.width, 432);
    EXPECT_GE(w.window->allocation.height, 320);
    int saveX = 0, saveTop = 0;
    gtk_widget_translate_coordinates(w.saveButton, w.window, 0, 0, &saveX, &saveTop);
    GtkWidget* controls[] = {w.backlight, w.blink,      w.checkSize,       w.push,
                             w.interval,  w.checkDelay, w.color,           w.command,
                             w.notify,    w.runOnce,    w.passwordCommand, w.tokenCommand};
    for (GtkWidget* control : controls) {
        SCOPED_TRACE(G_OBJECT_TYPE_NAME(control) + std::string(" at ") +
                     std::to_string(control->allocation.y));
        int x = 0, y = 0;
        gtk_widget_translate_coordinates(control, w.window, 0, 0, &x, &y);
        GtkRequisition wanted{};
        gtk_widget_get_child_requisition(control, &wanted);
        EXPECT_GE(control->allocation.height, wanted.height);  // not squeezed
        EXPECT_LE(y + control->allocation.height, saveTop);    // above Save and Cancel
        EXPECT_LE(x + control->allocation.width, w.window->allocation.width);
    }
}

TEST_F(MainWindow, EmptyFileShowsTheDefaults) {
    open("");
    EXPECT_STREQ(gtk_entry_get_text(GTK_ENTRY(mainWidgets().interval)), "1");
    EXPECT_STREQ(gtk_entry_get_text(GTK_ENTRY(mainWidgets().checkDelay)), "30");
    EXPECT_TRUE(gtk_toggle_button_get_active(GTK_TOGGLE_BUTTON(mainWidgets().blink)));
    EXPECT_EQ(view()->rows, 0);
    EXPECT_FALSE(rowButtonsSensitive());
}

TEST_F(MainWindow, SelectionDrivesTheRowButtons) {
    open(threeBoxes);
    selectRow(1);
    EXPECT_EQ(selectedRow(), 1);
    EXPECT_EQ(selectedEntry(), &*std::next(editorSettings().entryList.begin()));
    EXPECT_TRUE(rowButtonsSensitive());
    gtk_clist_unselect_row(view(), 1, 0);
    pump();
    EXPECT_EQ(selectedRow(), -1);
    EXPECT_FALSE(rowButtonsSensitive());
}

TEST_F(MainWindow, DefaultMarkStaysOnItsBox) {
    enum Action { setDefault, removeBox };
    struct Step {
        Action action;
        int row;
    };
    struct Case {
        const char* name;
        int defaultBox;
        std::vector<Step> steps;
        int expectedDefault;
        int expectedMark;
        std::vector<std::string> expectedPaths;
    };
    const std::string pop = "pop.example.org", imap = "imap.example.org:993";
    const Case cases[] = {
        {"remove before the default", 3, {{removeBox, 0}}, 2, 1, {pop, imap}},
        {"remove the default", 3, {{removeBox, 2}}, 0, -1, {mboxPath, pop}},
        {"remove after the default", 2, {{removeBox, 2}}, 2, 1, {mboxPath, pop}},
        {"default beyond the list", 7, {}, 7, -1, {mboxPath, pop, imap}},
        {"set default", 7, {{setDefault, 0}}, 1, 0, {mboxPath, pop, imap}},
        {"move the default", 1, {{setDefault, 2}}, 3, 2, {mboxPath, pop, imap}},
        {"set then remove", 0, {{setDefault, 1}, {removeBox, 1}}, 0, -1, {mboxPath, imap}},
        {"negative default", -1, {{removeBox, 0}}, -1, -1, {pop, imap}},
        {"set default on the default: all boxes",
         2,
         {{setDefault, 1}},
         0,
         -1,
         {mboxPath, pop, imap}},
        {"set, clear, set again",
         0,
         {{setDefault, 2}, {setDefault, 2}, {setDefault, 2}},
         3,
         2,
         {mboxPath, pop, imap}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        open("DefaultBox = " + std::to_string(c.defaultBox) + "\n" + threeBoxes);
        for (const Step& step : c.steps) {
            selectRow(step.row);
            if (step.action == setDefault) {
                click(mainWidgets().defaultButton);
                EXPECT_EQ(selectedRow(), step.row);  // the rows are not rebuilt
                EXPECT_TRUE(rowButtonsSensitive());
            } else {
                click(mainWidgets().removeButton);
                EXPECT_EQ(selectedRow(), -1);
                EXPECT_FALSE(rowButtonsSensitive());
            }
        }
        EXPECT_EQ(editorSettings().DefaultBox, c.expectedDefault);
        EXPECT_EQ(markedRow(), c.expectedMark);
        EXPECT_EQ(paths(), c.expectedPaths);
        EXPECT_EQ(view()->rows, static_cast<int>(c.expectedPaths.size()));
        quitEditor();
    }
}

TEST_F(MainWindow, AddThroughEachDialog) {
    open("");
    struct Case {
        AddKind kind;
        const char* title;
        std::optional<std::string> text;  // the entry's text or the chosen file; none: as given
        std::optional<Words> added;
        std::string message;
    };
    const std::string missing = dataDir + "/no-such-mbox";
    const Case cases[] = {
        {AddKind::pop3, "Add POP3 mail box...", std::nullopt,
         Words{"POP3", "server", "username", "password", "[folder]"}, ""},
        {AddKind::imap, "Add IMAP mail box...", "imap.example.org alice secret",
         Words{"IMAP", "imap.example.org", "alice", "secret", ""}, ""},
        {AddKind::hotmail, "Add Hotmail mail box...", "pop3.live.com:995 bob pw Inbox more",
         Words{"HOTMAIL", "pop3.live.com:995", "bob", "pw", "Inbox"}, ""},
        {AddKind::mbox, "Add local mail box...", mboxPath, Words{"MBOX", mboxPath, "", "", ""}, ""},
        {AddKind::maildir, "Add Maildir mail box...", dataDir + "/every-key.rc",
         Words{"MAILDIR", dataDir + "/every-key.rc", "", "", ""}, ""},
        {AddKind::mh, "Add MH mail box...", dataDir + "/odd-lines.rc",
         Words{"MH", dataDir + "/odd-lines.rc", "", "", ""}, ""},
        {AddKind::mbox, "Add local mail box...", missing, std::nullopt,
         "Mail box '" + missing + "' does not exist !\n"},
        {AddKind::mbox, "Add local mail box...", dir.path("my mail"), std::nullopt,
         "Invalid Mail box parameters !\n"},
        {AddKind::pop3, "Add POP3 mail box...", std::nullopt, std::nullopt, ""},  // duplicate
    };
    writeFile(dir.path("my"), "");  // would be taken for "my mail" if the name were cut
    writeFile(dir.path("my mail"), "");
    for (const Case& c : cases) {
        SCOPED_TRACE(c.title + std::string(" ") + c.text.value_or(""));
        std::size_t before = editorSettings().entryList.size();
        click(mainWidgets().addButtons[static_cast<int>(c.kind)]);
        ASSERT_NE(openDialog(), nullptr);
        EXPECT_EQ(dialogTitle(), c.title);
        EXPECT_TRUE(gtk_window_get_modal(GTK_WINDOW(openDialog())));
        bool local = c.kind == AddKind::mbox || c.kind == AddKind::maildir || c.kind == AddKind::mh;
        ::testing::internal::CaptureStderr();
        if (local) {
            confirmFileDialog(*c.text);
        } else {
            EXPECT_STREQ(gtk_entry_get_text(GTK_ENTRY(dialogEntry())),
                         "server username password [folder]");
            confirmEntryDialog(c.text);
        }
        EXPECT_EQ(::testing::internal::GetCapturedStderr(), c.message);
        EXPECT_EQ(openDialog(), nullptr);
        EXPECT_EQ(takeMessage(), withoutLineFeed(c.message));
        ASSERT_EQ(editorSettings().entryList.size(), before + (c.added ? 1 : 0));
        if (c.added) {
            EXPECT_EQ(lastEntry(), *c.added);
        }
        EXPECT_EQ(view()->rows, static_cast<int>(editorSettings().entryList.size()));
    }

    // Cancel and closing a dialog change nothing.
    click(mainWidgets().addButtons[static_cast<int>(AddKind::imap)]);
    click(buttonLabelled(openDialog(), "Cancel"));
    EXPECT_EQ(openDialog(), nullptr);
    click(mainWidgets().addButtons[static_cast<int>(AddKind::mbox)]);
    click(GTK_FILE_SELECTION(openDialog())->cancel_button);
    EXPECT_EQ(openDialog(), nullptr);
    EXPECT_EQ(editorSettings().entryList.size(), 6u);
}

TEST_F(MainWindow, ReturnInTheEntryPressesOk) {
    open(threeBoxes);
    struct Case {
        const char* name;
        GtkWidget* button;
        int row;  // edited, or -1 for an add
        std::string text;
        Words expected;
    } cases[] = {
        {"add", mainWidgets().addButtons[static_cast<int>(AddKind::imap)], -1,
         "imap.example.net bob pw Lists", Words{"IMAP", "imap.example.net", "bob", "pw", "Lists"}},
        {"edit", mainWidgets().editButton, 1, "pop.example.org:995 carol pw",
         Words{"POP3", "pop.example.org:995", "carol", "pw", ""}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        if (c.row >= 0) selectRow(c.row);
        click(c.button);
        ASSERT_NE(openDialog(), nullptr);
        GtkWidget* entry = dialogEntry();
        // The text field has the focus: the user types and presses Return.
        EXPECT_EQ(gtk_window_get_focus(GTK_WINDOW(openDialog())), entry);
        gtk_entry_set_text(GTK_ENTRY(entry), c.text.c_str());
        ASSERT_TRUE(gtk_test_widget_send_key(entry, GDK_Return, GdkModifierType(0)));
        pump();
        EXPECT_EQ(openDialog(), nullptr);
        const BoxEntry& changed = c.row >= 0 ? *std::next(editorSettings().entryList.begin(), c.row)
                                             : editorSettings().entryList.back();
        EXPECT_EQ(wordsOf(changed), c.expected);
    }
}

TEST_F(MainWindow, ColumnsFitTheirContents) {
    const std::string server(60, 's'), folder(70, 'f');
    open("Mailbox = IMAP " + server + " alice secret " + folder + "\n" + threeBoxes);
    // Every cell's whole text fits in its column, drawn in the list's font.
    auto expectFitted = [] {
        for (int column = 0; column < 6; ++column) {
            for (int row = 0; row < view()->rows; ++row) {
                SCOPED_TRACE("column " + std::to_string(column) + ", row " + std::to_string(row));
                PangoLayout* layout =
                    gtk_widget_create_pango_layout(GTK_WIDGET(view()), cell(row, column).c_str());
                int width = 0;
                pango_layout_get_pixel_size(layout, &width, nullptr);
                g_object_unref(layout);
                EXPECT_GE(view()->column[column].width, width);
            }
        }
    };
    expectFitted();
    // A longer word added later widens its column.
    click(mainWidgets().addButtons[static_cast<int>(AddKind::pop3)]);
    confirmEntryDialog("pop.example.org " + std::string(24, 'u') + " pw");
    ASSERT_EQ(view()->rows, 5);
    expectFitted();
    EXPECT_GT(view()->column[3].width, view()->column[1].width);
}

TEST_F(MainWindow, EditNetworkAndLocalBoxes) {
    open("DefaultBox = 1\n" + threeBoxes + "Mailbox = FOO bar\n");
    const std::string other = dataDir + "/every-key.rc";

    selectRow(1);  // POP3 loaded with only its server
    click(mainWidgets().editButton);
    ASSERT_NE(openDialog(), nullptr);
    EXPECT_EQ(dialogTitle(), "Edit POP3 mail box...");
    EXPECT_STREQ(gtk_entry_get_text(GTK_ENTRY(dialogEntry())), "pop.example.org   ");
    confirmEntryDialog();
    EXPECT_EQ(wordsOf(*std::next(editorSettings().entryList.begin())),
              (Words{"POP3", "pop.example.org", "", "", ""}));
    EXPECT_EQ(selectedRow(), -1);

    selectRow(2);
    click(mainWidgets().editButton);
    EXPECT_EQ(dialogTitle(), "Edit IMAP mail box...");
    EXPECT_STREQ(gtk_entry_get_text(GTK_ENTRY(dialogEntry())),
                 "imap.example.org:993 alice secret Work");
    confirmEntryDialog("mail.example.org");
    EXPECT_EQ(wordsOf(*std::next(editorSettings().entryList.begin(), 2)),
              (Words{"IMAP", "mail.example.org", "", "", ""}));

    // A user name the readers would refuse is not taken.
    selectRow(2);
    click(mainWidgets().editButton);
    ::testing::internal::CaptureStderr();
    confirmEntryDialog("mail.example.org " + std::string(255, 'u'));
    EXPECT_EQ(::testing::internal::GetCapturedStderr(),
              "Mail box user name is longer than 254 characters !\n");
    EXPECT_EQ(takeMessage(), "Mail box user name is longer than 254 characters !");
    EXPECT_EQ(wordsOf(*std::next(editorSettings().entryList.begin(), 2)),
              (Words{"IMAP", "mail.example.org", "", "", ""}));

    selectRow(0);  // the default box
    click(mainWidgets().editButton);
    EXPECT_EQ(dialogTitle(), "Edit local mail box...");
    EXPECT_EQ(gtk_file_selection_get_filename(GTK_FILE_SELECTION(openDialog())), mboxPath);
    confirmFileDialog(other);
    EXPECT_EQ(wordsOf(editorSettings().entryList.front()),
              (Words{"MBOX", other, std::nullopt, std::nullopt, std::nullopt}));
    EXPECT_EQ(markedRow(), 0);
    EXPECT_EQ(selectedRow(), -1);

    selectRow(3);  // a type without a dialog
    click(mainWidgets().editButton);
    EXPECT_EQ(openDialog(), nullptr);

    click(mainWidgets().saveButton);
    std::string saved = readFile(rcPath);
    EXPECT_NE(saved.find("\nMailbox = MBOX " + other + "\n"), std::string::npos);
    EXPECT_NE(saved.find("\nMailbox = POP3 pop.example.org   \n"), std::string::npos);
    EXPECT_NE(saved.find("\nMailbox = IMAP mail.example.org   \n"), std::string::npos);
    EXPECT_NE(saved.find("\nMailbox = FOO bar   \n"), std::string::npos);
}

// A company address with a password manager's password is added, edited
// and saved whole; so is a box whose every word is at its limit, and a word
// past its limit is refused by name.
TEST_F(MainWindow, LongAccountsAreAddedEditedAndSavedWhole) {
    const std::string longest = std::string(1023, 's') + " " + std::string(254, 'u') + " " +
                                std::string(255, 'p') + " " + std::string(255, 'f');
    open("Mailbox = IMAP " + longest + "\n");
    const std::string address = "firstname.lastname@mail.example-corp.org";  // 40 characters
    const std::string password = "Xq7#vL2!pR9&mT4^wZ8*eN3%kB6+hJ1=cF5~dG0-aS7_yU2.oI9@lQ4?rE8;tY3:";
    ASSERT_EQ(address.size(), 40u);
    ASSERT_EQ(password.size(), 64u);

    click(mainWidgets().addButtons[static_cast<int>(AddKind::imap)]);
    ::testing::internal::CaptureStderr();
    confirmEntryDialog("outlook.office365.com:993 " + address + " " + password);
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "");
    EXPECT_EQ(takeMessage(), "");
    EXPECT_EQ(lastEntry(), (Words{"IMAP", "outlook.office365.com:993", address, password, ""}));

    // The edit starts from the whole words, even those at their limits.
    for (int row : {0, 1}) {
        SCOPED_TRACE(row);
        selectRow(row);
        click(mainWidgets().editButton);
        const BoxEntry& entry = *std::next(editorSettings().entryList.begin(), row);
        EXPECT_EQ(gtk_entry_get_text(GTK_ENTRY(dialogEntry())),
                  entry.path + " " + *entry.user + " " + *entry.password + " " + *entry.folder);
        confirmEntryDialog();
    }
    selectRow(1);
    click(mainWidgets().editButton);
    const std::string changed = std::string(password.rbegin(), password.rend());
    confirmEntryDialog("outlook.office365.com:993 " + address + " " + changed + " Lists/quorvik");

    click(mainWidgets().addButtons[static_cast<int>(AddKind::pop3)]);
    ::testing::internal::CaptureStderr();
    confirmEntryDialog("pop.example.org " + address + " " + std::string(256, 'p'));
    EXPECT_EQ(::testing::internal::GetCapturedStderr(),
              "Mail box password is longer than 255 characters !\n");
    EXPECT_EQ(takeMessage(), "Mail box password is longer than 255 characters !");
    EXPECT_EQ(editorSettings().entryList.size(), 2u);

    click(mainWidgets().saveButton);
    std::string saved = readFile(rcPath);
    EXPECT_NE(saved.find("\nMailbox = IMAP " + longest + "\n"), std::string::npos);
    EXPECT_NE(saved.find("\nMailbox = IMAP outlook.office365.com:993 " + address + " " + changed +
                         " Lists/quorvik\n"),
              std::string::npos);
}

TEST_F(MainWindow, BracketedIpv6ServersAreKeptAsWritten) {
    open("Mailbox = IMAP [::1]:993 alice pw Work\nMailbox = POP3 [fe80::1%lo] bob pw\n");
    ASSERT_EQ(view()->rows, 2);
    EXPECT_EQ(cell(0, 2), "[::1]:993");
    EXPECT_EQ(cell(1, 2), "[fe80::1%lo]");

    selectRow(0);
    click(mainWidgets().editButton);
    EXPECT_STREQ(gtk_entry_get_text(GTK_ENTRY(dialogEntry())), "[::1]:993 alice pw Work");
    confirmEntryDialog("[2001:db8::25]:143 alice - Work");
    click(mainWidgets().addButtons[static_cast<int>(AddKind::hotmail)]);
    confirmEntryDialog("[::1] carol pw");
    EXPECT_EQ(takeMessage(), "");
    EXPECT_EQ(paths(), (std::vector<std::string>{"[2001:db8::25]:143", "[fe80::1%lo]", "[::1]"}));

    click(mainWidgets().saveButton);
    std::string saved = readFile(rcPath);
    EXPECT_NE(saved.find("\nMailbox = IMAP [2001:db8::25]:143 alice - Work\n"
                         "Mailbox = POP3 [fe80::1%lo] bob pw \n"
                         "Mailbox = HOTMAIL [::1] carol pw \n"),
              std::string::npos);
    open(saved);
    EXPECT_EQ(paths(), (std::vector<std::string>{"[2001:db8::25]:143", "[fe80::1%lo]", "[::1]"}));
}

TEST_F(MainWindow, SaveWritesTheControls) {
    open("Color = red\nUseThreads = no\n" + threeBoxes);
    const MainWidgets& w = mainWidgets();
    gtk_entry_set_text(GTK_ENTRY(w.interval), "abc");
    gtk_entry_set_text(GTK_ENTRY(w.checkDelay), "5");
    gtk_entry_set_text(GTK_ENTRY(w.color), "");
    gtk_entry_set_text(GTK_ENTRY(w.notify), "aplay ding.wav");
    gtk_entry_set_text(GTK_ENTRY(w.passwordCommand), "pass show mail");
    gtk_toggle_button_set_active(GTK_TOGGLE_BUTTON(w.backlight), TRUE);
    gtk_toggle_button_set_active(GTK_TOGGLE_BUTTON(w.blink), FALSE);
    gtk_toggle_button_set_active(GTK_TOGGLE_BUTTON(w.runOnce), TRUE);
    gtk_toggle_button_set_active(GTK_TOGGLE_BUTTON(w.checkSize), TRUE);
    selectRow(2);
    click(w.defaultButton);
    click(w.saveButton);

    EXPECT_EQ(mainWidgets().window, nullptr);  // saved, then quit
    EXPECT_TRUE(editorSettings().entryList.empty());
    std::string saved = readFile(rcPath);
    for (const char* line :
         {"\nBacklight = On\n", "\nColor = \n", "\nCheckSize = True\n", "\nInterval = 0\n",
          "\nCommand = \n", "\nNotify = aplay ding.wav\n", "\nBlink = No\n", "\nDefaultBox = 3\n",
          "\nCheckDelay = 15\n", "\nRunOnce = True\n", "\nUseThreads = False\n",
          "\nPasswordCommand = pass show mail\n",
          "\nMailbox = IMAP imap.example.org:993 alice secret Work\n"}) {
        SCOPED_TRACE(line);
        EXPECT_NE(saved.find(line), std::string::npos);
    }
    EXPECT_EQ(saved.find("TokenCommand"), std::string::npos);  // left empty
}

TEST_F(MainWindow, CredentialCommandsRoundTripAndPasswordsStayHidden) {
    // The fixture names its mbox relative to the data directory.
    ASSERT_EQ(chdir(dataDir.c_str()), 0);
    const std::string written = readFile(dataDir + "/every-key.rc");
    open(written);
    const MainWidgets& w = mainWidgets();
    EXPECT_STREQ(gtk_entry_get_text(GTK_ENTRY(w.passwordCommand)), "pass show mail/imap");
    EXPECT_STREQ(gtk_entry_get_text(GTK_ENTRY(w.tokenCommand)), "oauth2-token --account alice");
    struct Row {
        std::string type, password;
    } rows[] = {{"MBOX", ""}, {"POP3", "********"}, {"IMAP", "(command)"}, {"IMAP", "(command)"}};
    ASSERT_EQ(view()->rows, 4);
    for (int row = 0; row < 4; ++row) {
        SCOPED_TRACE(row);
        EXPECT_EQ(cell(row, 1), rows[row].type);
        EXPECT_EQ(cell(row, 4), rows[row].password);
    }
    // Added boxes are shown the same way; a network box may have no password.
    click(w.addButtons[static_cast<int>(AddKind::pop3)]);
    confirmEntryDialog("pop.example.net carol");
    click(w.addButtons[static_cast<int>(AddKind::imap)]);
    confirmEntryDialog("imap.example.net dave s3cret Work");
    ASSERT_EQ(view()->rows, 6);
    EXPECT_EQ(cell(4, 4), "(command)");
    EXPECT_EQ(cell(5, 4), "********");
    EXPECT_EQ(lastEntry(), (Words{"IMAP", "imap.example.net", "dave", "s3cret", "Work"}));
    click(w.cancelButton);

    // Both keys come through a save, and a saved file saved again untouched
    // is the same to the byte.
    open(written);
    click(mainWidgets().saveButton);
    const std::string saved = readFile(rcPath);
    EXPECT_NE(saved.find("\n#\nPasswordCommand = pass show mail/imap\n\n"), std::string::npos);
    EXPECT_NE(saved.find("\n#\nTokenCommand = oauth2-token --account alice\n\n"),
              std::string::npos);
    open(saved);
    click(mainWidgets().saveButton);
    EXPECT_EQ(readFile(rcPath), saved);

    // A command cleared leaves its block out; one typed in puts it in.
    open(saved);
    gtk_entry_set_text(GTK_ENTRY(mainWidgets().passwordCommand), "");
    click(mainWidgets().saveButton);
    std::string withoutPassword = readFile(rcPath);
    EXPECT_EQ(withoutPassword.find("PasswordCommand"), std::string::npos);
    EXPECT_NE(withoutPassword.find("\nTokenCommand = oauth2-token --account alice\n"),
              std::string::npos);
    open(withoutPassword);
    gtk_entry_set_text(GTK_ENTRY(mainWidgets().passwordCommand), "pass show mail/imap");
    click(mainWidgets().saveButton);
    EXPECT_EQ(readFile(rcPath), saved);
}

TEST_F(MainWindow, PushIsWrittenWhenTheFileHadItOrItIsOff) {
    struct Case {
        const char* file;
        bool shown;
        std::vector<bool> clicks;  // the check box's state after each click
        const char* line;          // in the saved file, or null for no Push at all
    } cases[] = {
        {"", true, {}, nullptr},
        {"", true, {false}, "Push = False"},
        {"", true, {false, true}, nullptr},  // back to the default
        {"Push = on\n", true, {}, "Push = True"},
        {"Push = no\n", false, {true}, "Push = True"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(std::string("[") + c.file + "] and " + std::to_string(c.clicks.size()) +
                     " clicks");
        open(c.file);
        GtkWidget* push = mainWidgets().push;
        EXPECT_EQ(gtk_toggle_button_get_active(GTK_TOGGLE_BUTTON(push)), c.shown);
        for (bool state : c.clicks) {
            click(push);
            EXPECT_EQ(gtk_toggle_button_get_active(GTK_TOGGLE_BUTTON(push)), state);
        }
        click(mainWidgets().saveButton);
        std::string saved = readFile(rcPath);
        if (c.line) {
            EXPECT_NE(saved.find("\n# Default : True\n#\n" + std::string(c.line) + "\n\n"),
                      std::string::npos);
        } else {
            EXPECT_EQ(saved, readFile(dataDir + "/defaults.saved"));
        }
    }
}

TEST_F(MainWindow, UnwritableFileKeepsTheEditorOpen) {
    ASSERT_EQ(mkdir(dir.path("home").c_str(), 0700), 0);
    open(threeBoxes, "home/rc");
    // The rc path is a directory now: the rename over it fails.
    std::string path = dir.path("home/.quorvikrc");
    ASSERT_EQ(mkdir(path.c_str(), 0700), 0);
    editorSettings().rcPath = path;
    gtk_entry_set_text(GTK_ENTRY(mainWidgets().command), "mutt");

    ::testing::internal::CaptureStderr();
    click(mainWidgets().saveButton);
    EXPECT_EQ(::testing::internal::GetCapturedStderr(),
              "Unable to open configuration file \"" + path + "\". Is a directory.\n");
    ASSERT_NE(mainWidgets().window, nullptr);
    EXPECT_EQ(editorSettings().entryList.size(), 3u);
    EXPECT_STREQ(gtk_entry_get_text(GTK_ENTRY(mainWidgets().command)), "mutt");

    EXPECT_EQ(takeMessage(), "Unable to open configuration file \"" + path + "\". Is a directory.");

    // Once the directory is gone, the same changes are saved.
    ASSERT_EQ(rmdir(path.c_str()), 0);
    click(mainWidgets().saveButton);
    EXPECT_EQ(mainWidgets().window, nullptr);
    EXPECT_NE(readFile(path).find("\nCommand = mutt\n"), std::string::npos);
}

TEST_F(MainWindow, CancelAndCloseWriteNothing) {
    const std::string original = "Interval = 9\n" + threeBoxes;
    open(original);
    gtk_entry_set_text(GTK_ENTRY(mainWidgets().interval), "4");
    click(mainWidgets().cancelButton);
    EXPECT_EQ(mainWidgets().window, nullptr);
    EXPECT_TRUE(editorSettings().entryList.empty());
    EXPECT_EQ(editorSettings().rcPath, "");

    open(original);
    selectRow(0);
    click(mainWidgets().removeButton);
    GtkWidget* window = mainWidgets().window;
    GdkEvent* event = gdk_event_new(GDK_DELETE);
    event->any.window = GDK_WINDOW(g_object_ref(window->window));
    event->any.send_event = TRUE;
    gtk_main_do_event(event);
    gdk_event_free(event);
    pump();
    EXPECT_EQ(mainWidgets().window, nullptr);
    quitEditor();  // a second call finds nothing left
    EXPECT_EQ(readFile(rcPath), original);
    EXPECT_EQ(dir.names(), std::vector<std::string>{"rc"});
}
