// How the stand-in newdev.dll writes a string into its call log: the bytes in hex,
// quoted, so that every byte, an empty string and a null pointer can be told apart.
#pragma once

#include <cstdio>
#include <string>

inline std::string loggedString(const char *text)
{
    if (!text)
        return "null";
    std::string out = "\"";
    for (const char *p = text; *p; ++p) {
        char pair[3];
        std::snprintf(pair, sizeof pair, "%02x", static_cast<unsigned char>(*p));
        out += pair;
    }
    return out + "\"";
}
