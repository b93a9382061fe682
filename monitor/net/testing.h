#pragma once
// What the tests reach inside monitor/net; the monitor itself uses none of it.

#include <optional>
#include <string>

// The subject of the last certificate reported on standard output.
std::optional<std::string> lastCertSubject();
// Forgets the reported subject, the certificates already checked and the
// warnings already given, and reads the trust store again at the next check.
// The remembered servers stay: they are the file's.
void forgetCertificates();
// Forgets the warnings about remembered servers already given.
void forgetServerWarnings();
