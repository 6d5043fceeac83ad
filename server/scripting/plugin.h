// The server side of plug-in libraries (the interface plug-ins see is qmsplugin.h).
//
// A plug-in hook names a shared library and an entry point. Each call builds an
// information record for the calling session, loads the library (it then stays loaded
// for the rest of the process), looks the entry up and calls it on the session's thread
// with exceptions caught. During the call the plug-in reaches the session through the
// process-wide callback table: qmsGetValue, qmsSetValue, qmsSend and qmsLog. Each callback
// checks that it was handed the record of a call running on its thread, reads and writes
// the plug-in's memory only through qmsTPluginMemory, and reports any exception or bad
// pointer with its "Plug-in call back exception - ..." line (console and system log)
// before it returns 0.
//
// A fault inside the plug-in's own code is not contained: the trap report is written and
// the process ends, so the launcher starts a fresh server (see qmsplugin.h).
#pragma once

#include <string>

#include "server/scripting/qmsplugin.h"

class qmsTSession;

namespace qmsHook {

// The callback table, set up on first use and never changed.
const qmsCallbacks* Callbacks();

// Fills info for a call on behalf of session; callData may be nullptr (HTTP requests).
void SetHookInfo(qmsTSession* session, qmsHookInfo& info, qmsCallData* callData);
// Loads the library: a name with "/" is a path, a bare name is looked for in the program's
// directory, then in the working directory, then by the loader's search. On failure
// reports "Plug-in load failed - %s" and returns false.
bool LoadHook(const std::string& library, void*& handle);
// Looks up an exported entry; reports "Plug-in procedure not found - %s" when missing.
bool GetHookAddress(void* handle, const std::string& entry, qmsHookEntry& address);
// Ends a call's use of the library. The library stays loaded: entries and the memory of
// other calls may still be in use.
void FreeHook(void* handle);

// A general hook (CallHook): runs entry of library with arguments for session. Returns
// the entry's result, or 0 when the library or entry is missing or the entry threw
// ("Plug-in call exception - %s@%s"). output becomes the text the plug-in set with
// qmsSetValue kind 0; it is left as it was when the plug-in set none.
int CallGeneralHook(std::string& output, qmsTSession& session, const std::string& arguments,
                    const std::string& entry, const std::string& library);

// An HTTP application request: the entry "qmsHttpRequest" of library. True when it
// returned non-zero; false when the library or entry is missing or the entry threw
// ("Plug-in call exception - HttpRequest@%s").
bool CallHttpRequest(qmsTSession& session, const std::string& library);

}  // namespace qmsHook
