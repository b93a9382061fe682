#pragma once
// Allocation that ends the program with status 255 when memory runs out,
// shared by the monitor and the editor.

#include <cstddef>

void* allocOrExit(std::size_t size);
char* dupOrExit(const char* text);

// Routes failures of operator new (std::string, containers, records) to the
// same message and exit status as allocOrExit.
void installOutOfMemoryHandler();
