#pragma once
// Why a network check, or an account connection, failed: the network code
// says it, and the display may tell it.

enum class NetFailure {
    none,
    unreachable,         // no address of the server answered
    tlsFailed,           // the TLS handshake failed
    identityRefused,     // the server's certificate was not taken, or TLS was stripped
    signInRefused,       // the server refused the password or the token
    credentialFailed,    // the password or token command failed, or waits out a failure
    tooManyConnections,  // the server refuses more connections
    notUnderstood,       // no usable answer: silence, nonsense, or the connection lost
    noSuchFolder,        // the server said NO to the folder
};
