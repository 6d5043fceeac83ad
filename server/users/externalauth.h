// qmsAuthenticate: the check of the "<external>" password form through an outside shared
// library. The library exports
//
//     extern "C" int32_t qmsAuthenticate(const char* account, const char* password);
//
// returning 0 to accept and any other value to reject. It is loaded and unloaded for every
// check, so an operator can replace it while the server runs; the entry point must be
// safe to call from several session threads at once.
#pragma once

#include <cstdint>
#include <string>

// Name of the module used while no authentication hook is set.
inline constexpr char kQmsAuthModule[] = "qmsauth.so";
// Exported entry point of every authentication module.
inline constexpr char kQmsAuthEntry[] = "qmsAuthenticate";

// Resolves the module name: a name holding "/" (or "\") is a path; a bare name is looked
// for in "binaries/" of the installation (the working directory) first and otherwise left
// to the loader's normal search. Returns the entry point's result, or -1 when the library
// cannot be loaded, lacks the entry point, or the call throws.
int32_t qmsAuthenticate(const std::string& module, const std::string& account,
                        const std::string& password);
