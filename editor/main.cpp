// quorvik-config: edits the rc file of quorvik in a small GTK window.

#include <gtk/gtk.h>

#include <cstdio>
#include <cstdlib>

#include "common/alloc.h"
#include "common/home.h"
#include "editor/mainwindow.h"
#include "editor/rcmodel.h"

namespace {

constexpr const char* authorLine = "the quorvik developers";

void printVersion() { std::printf("Quorvik-Config-config by %s - v 2.2.1\n", authorLine); }

void printUsage() {
    std::printf(
        "Usage: Quorvik-Config-config [-h] [-v] [-f filename]\n"
        " -h          : short usage help\n"
        " -v          : show version\n"
        " -f filename : edit filename\n"
        "\n");
}

void parseCommandLine(int argc, char** argv) {
    resetEditorSettings();
    EditorSettings& s = editorSettings();
    bool pathGiven = false;
    for (int i = 1; i < argc; ++i) {
        const char* argument = argv[i];
        if (argument[0] != '-') {
            std::fprintf(stderr, "Unknown option: %s\n", argument);
            printUsage();
            std::exit(1);
        }
        switch (argument[1]) {
        case 'f':
            if (i + 1 >= argc) {
                printUsage();
                std::exit(1);
            }
            s.rcPath = argv[++i];
            pathGiven = true;
            break;
        case 'v':
            printVersion();
            std::exit(1);
        case 'h':
            printVersion();
            printUsage();
            std::exit(1);
        default:
            std::printf("Unknown option: %s\n", argument);
            printUsage();
            std::exit(1);
        }
    }
    if (!pathGiven) s.rcPath = homeDirectory() + "/.quorvikrc";
}

}  // namespace

int main(int argc, char** argv) {
    installOutOfMemoryHandler();
    // GTK takes its own options out first; the display is opened only after
    // -h and -v had their say, so they work without one.
    gtk_parse_args(&argc, &argv);
    parseCommandLine(argc, argv);
    gtk_init(&argc, &argv);
    loadRcFile();
    buildMainWindow();
    loadWidgets();
    gtk_main();
    return 0;
}
