/*
 * qmsplugin.h - the interface between Quillmar/32 and its plug-in libraries.
 *
 * A plug-in is a shared library (built with -shared -fPIC) that exports entry points with
 * C linkage. The group configuration names a plug-in in a hook setting:
 *
 *     hookOnConnect=plugins/myhooks.so FilterClient some arguments
 *
 * (file name, entry name, then the entry's arguments; names ending ".dll" load a shared
 * library too, so migrated settings keep working). Message-file entries may name plug-ins
 * the same way. The HTTP service calls the fixed entry "qmsHttpRequest".
 *
 * Where the server looks for the library: a name with a "/" is a path (relative to the
 * installation directory); a bare name is looked for in binaries/, then in the
 * installation directory, then by the dynamic loader's normal search. A library stays
 * loaded for the rest of the process once it was loaded.
 *
 * Entry points
 *   QMS_PLUGIN_EXPORT int32_t MyEntry(qmsHookInfo* info);
 *   A general hook's result: below 1 lets the session go on; 1 or more means the hook
 *   acted (rejected, or rewrote the command), and its output text is the reply or the new
 *   command line. qmsHttpRequest returns non-zero when it handled the request.
 *
 * Threads
 *   Entries run on the calling session's thread, and several sessions may call the same
 *   entry at once: keep no unguarded global state. The callbacks may be used only during
 *   the call and only on the thread that called the entry; anywhere else they refuse
 *   (return 0).
 *
 * Failures
 *   A C++ exception that leaves an entry is caught, reported ("Plug-in call exception -
 *   entry@library") and the session goes on as if no hook were configured. A hardware
 *   fault inside the plug-in's own code (SIGSEGV, SIGBUS, SIGFPE ...) cannot be survived
 *   safely on this platform: the server writes its trap report and ends, and the launcher
 *   starts it again. Callbacks check every pointer a plug-in hands them: an unreadable
 *   name or data block, or a buffer that cannot be written, makes the callback report the
 *   call and return 0 instead of faulting.
 *
 * Layout: the records hold pointers in their natural size, in the order below (48 bytes
 * for qmsHookInfo on 64-bit Linux). Booleans are int32_t 0 or 1.
 */
#ifndef QMSPLUGIN_H
#define QMSPLUGIN_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

#define QMS_PLUGIN_EXPORT __attribute__((visibility("default")))

/* Kinds of qmsGetValue and qmsSetValue. */
#define QMS_VALUE_OUTPUT 0  /* qmsSetValue: the call's output text (name not used) */
#define QMS_VALUE_SESSION 1 /* a session variable */

typedef struct qmsHookInfo qmsHookInfo;

typedef struct qmsCallbacks {
  /* Slot 0. Kind QMS_VALUE_SESSION: looks name up among the session's variables (those
   * set at run time first, then the built-in names such as "remoteip", "usr.username").
   * When found, copies at most size characters of the value into buffer and ends them
   * with a null byte, and returns 1. The buffer must therefore hold size + 1 bytes: a
   * value of size characters or more fills size characters and the null byte after them.
   * A negative size, another kind or an unknown name: 0, buffer unchanged. */
  int32_t (*qmsGetValue)(qmsHookInfo* info, int32_t kind, const char* name, char* buffer,
                         int32_t size);
  /* Slot 1. Kind QMS_VALUE_OUTPUT: the call's output text becomes a copy of value (an
   * earlier output is released); returns 1. The server owns the copy: never free it.
   * Kind QMS_VALUE_SESSION: sets the session variable name, which must begin with
   * "session." (any case), to value, so later templates and hooks of the session see it;
   * returns 1. Other names or kinds: 0. */
  int32_t (*qmsSetValue)(qmsHookInfo* info, int32_t kind, const char* name, const char* value);
  /* Slot 2. Sends length bytes from data to the session's client as they are (add CR LF
   * yourself); 1 when every byte was sent. */
  int32_t (*qmsSend)(qmsHookInfo* info, const void* data, int32_t length);
  /* Slot 3: unused, always null. */
  void* reserved3;
  /* Slot 4. Writes text to the session's service log in the given category (0 always
   * written; 1 connection and user events, suppressed by the service's LogFlag 1).
   * flags is reserved, pass 0. Returns 1. */
  int32_t (*qmsLog)(qmsHookInfo* info, int32_t category, int32_t flags, const char* text);
} qmsCallbacks;

/* Per call of a general hook. */
typedef struct qmsCallData {
  const char* arguments; /* the hook's arguments: the rest of the setting after the entry */
  char* output;          /* null until qmsSetValue(QMS_VALUE_OUTPUT) sets it; read only */
} qmsCallData;

/* Passed by address to every entry; pass it back to each callback unchanged. */
struct qmsHookInfo {
  const char* product;           /* "Quillmar/32 v0.9.5" */
  const char* build;             /* "Build ID: Jan 02 2003 20:00 (Beta)" */
  uintptr_t reserved;            /* 0 */
  void* session;                 /* opaque: identifies the calling session */
  const qmsCallbacks* callbacks; /* the callback table, shared by all calls */
  void* calldata;                /* qmsCallData* for general hooks; unused by qmsHttpRequest */
};

/* The type of every entry point. */
typedef int32_t (*qmsHookEntry)(qmsHookInfo* info);

#ifdef __cplusplus
}
#endif

#endif /* QMSPLUGIN_H */
