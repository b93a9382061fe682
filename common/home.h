#pragma once

#include <string>

// The user's home directory: HOME when set (even empty), else the password
// entry of USER, of LOGNAME, of the real user id, else "/".
std::string homeDirectory();
