#pragma once
// A directory stream, closed when its holder goes.

#include <dirent.h>

#include <memory>

struct DirectoryCloser {
    void operator()(DIR* directory) const { closedir(directory); }
};
using Directory = std::unique_ptr<DIR, DirectoryCloser>;
