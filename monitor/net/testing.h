#pragma once
// What the tests reach inside monitor/net; the monitor itself uses none of it.

#include <optional>
#include <string>

// The subject of the last certificate reported on standard output.
std::optional<std::string> lastCertSubject();
// Forgets the reported subject and the certificates already checked, and
// reads the trust store again at the next check.
void forgetCertificates();
