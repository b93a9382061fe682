#include "common/alloc.h"

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <new>

namespace {

[[noreturn]] void exitOutOfMemory(const char* prefix) {
    std::perror(prefix);
    std::exit(255);
}

void outOfMemory() {
    errno = ENOMEM;
    exitOutOfMemory("malloc() ");
}

}  // namespace

void* allocOrExit(std::size_t size) {
    void* block = std::malloc(size);
    if (block == nullptr) exitOutOfMemory("malloc() ");
    return block;
}

char* dupOrExit(const char* text) {
    char* copy = strdup(text);
    if (copy == nullptr) exitOutOfMemory("strdup() ");
    return copy;
}

void installOutOfMemoryHandler() { std::set_new_handler(outOfMemory); }
