// The decoding module: GMime's RFC 2047 and address parsing behind the plain
// functions of decodermodule.h. The program calls them one at a time.

#include "monitor/headers/decodermodule.h"

#include <gmime/gmime.h>

#include <memory>
#include <mutex>

namespace {

void setUpGmime() {
    static std::once_flag once;
    std::call_once(once, [] { g_mime_init(); });
}

struct Unref {
    void operator()(void* object) const { g_object_unref(object); }
};

}  // namespace

extern "C" {

__attribute__((visibility("default"))) char* quorvik_decode_text(const char* text) {
    setUpGmime();
    return g_mime_utils_header_decode_text(nullptr, text);
}

__attribute__((visibility("default"))) bool quorvik_parse_sender(const char* text, char** name,
                                                                 char** address) {
    setUpGmime();
    *name = nullptr;
    *address = nullptr;
    std::unique_ptr<InternetAddressList, Unref> list(internet_address_list_parse(nullptr, text));
    if (!list || internet_address_list_length(list.get()) == 0) return false;
    InternetAddress* first = internet_address_list_get_address(list.get(), 0);
    if (const char* shown = internet_address_get_name(first)) *name = g_strdup(shown);
    if (INTERNET_ADDRESS_IS_MAILBOX(first))
        if (const char* mailbox =
                internet_address_mailbox_get_addr(INTERNET_ADDRESS_MAILBOX(first)))
            *address = g_strdup(mailbox);
    return true;
}

__attribute__((visibility("default"))) void quorvik_free_text(char* text) { g_free(text); }
}
