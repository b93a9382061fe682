#pragma once
// A text that holds a password or a token, wiped from memory when it goes.

#include <cstddef>
#include <memory>
#include <string_view>

// Growing it moves the bytes to a larger block and wipes the old one, so no
// copy of the secret is left behind in freed memory. A copy is a SecretText
// too, wiped when it goes.
class SecretText {
public:
    SecretText() = default;
    explicit SecretText(std::string_view text) { append(text); }
    SecretText(SecretText&& other) noexcept;
    SecretText& operator=(SecretText&& other) noexcept;
    SecretText(const SecretText& other) : SecretText(other.view()) {}
    SecretText& operator=(const SecretText& other);
    ~SecretText() { clear(); }

    std::string_view view() const { return {bytes.get(), length}; }
    std::size_t size() const { return length; }
    bool empty() const { return length == 0; }

    SecretText& append(std::string_view text);
    SecretText& append(char c) { return append(std::string_view{&c, 1}); }
    // Wipes the bytes and frees them.
    void clear();

    // By content: two boxes of one account hold equal passwords.
    bool operator==(const SecretText& other) const { return view() == other.view(); }
    bool operator==(std::string_view text) const { return view() == text; }
    auto operator<=>(const SecretText& other) const { return view() <=> other.view(); }

private:
    std::unique_ptr<char[]> bytes;
    std::size_t length = 0;
    std::size_t capacity = 0;
};

// Overwrites the bytes in a way the compiler cannot leave out.
void wipeBytes(void* bytes, std::size_t size);
