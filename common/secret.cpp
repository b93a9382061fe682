#include "common/secret.h"

#include <string.h>

#include <algorithm>
#include <cstring>
#include <utility>

void wipeBytes(void* bytes, std::size_t size) {
    if (bytes != nullptr && size != 0) explicit_bzero(bytes, size);
}

SecretText::SecretText(SecretText&& other) noexcept
    : bytes(std::move(other.bytes)),
      length(std::exchange(other.length, 0)),
      capacity(std::exchange(other.capacity, 0)) {}

SecretText& SecretText::operator=(SecretText&& other) noexcept {
    if (this != &other) {
        clear();
        bytes = std::move(other.bytes);
        length = std::exchange(other.length, 0);
        capacity = std::exchange(other.capacity, 0);
    }
    return *this;
}

SecretText& SecretText::operator=(const SecretText& other) {
    if (this != &other) {
        clear();
        append(other.view());
    }
    return *this;
}

SecretText& SecretText::append(std::string_view text) {
    if (text.empty()) return *this;
    if (length + text.size() > capacity) {
        std::size_t grown = std::max({std::size_t{64}, capacity * 2, length + text.size()});
        std::unique_ptr<char[]> larger(new char[grown]);
        if (length != 0) std::memcpy(larger.get(), bytes.get(), length);
        wipeBytes(bytes.get(), capacity);
        bytes = std::move(larger);
        capacity = grown;
    }
    std::memcpy(bytes.get() + length, text.data(), text.size());
    length += text.size();
    return *this;
}

void SecretText::clear() {
    wipeBytes(bytes.get(), capacity);
    bytes.reset();
    length = 0;
    capacity = 0;
}
