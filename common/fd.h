#pragma once
// A file descriptor owned by one holder (a file, a socket, a pipe end),
// closed when the holder goes. Move-only.

#include <utility>

class FileDescriptor {
public:
    FileDescriptor() = default;
    explicit FileDescriptor(int descriptor) : fd(descriptor) {}
    FileDescriptor(FileDescriptor&& other) noexcept : fd(other.release()) {}
    FileDescriptor& operator=(FileDescriptor&& other) noexcept {
        if (this != &other) reset(other.release());
        return *this;
    }
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;
    ~FileDescriptor() { reset(); }

    int get() const { return fd; }
    bool isOpen() const { return fd >= 0; }
    // Gives the descriptor up without closing it.
    int release() { return std::exchange(fd, -1); }
    // Closes the descriptor held, if any, and holds `replacement`.
    void reset(int replacement = -1);

private:
    int fd = -1;
};
