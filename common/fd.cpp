#include "common/fd.h"

#include <unistd.h>

void FileDescriptor::reset(int replacement) {
    if (fd >= 0) ::close(fd);
    fd = replacement;
}
