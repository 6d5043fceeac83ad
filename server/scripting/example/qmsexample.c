/*
 * qmsexample.c - an example plug-in for Quillmar/32.
 *
 * Build (the project builds it as server/scripting/example/qmsexample.so):
 *     cc -shared -fPIC -fvisibility=hidden -I<source>/server/scripting \
 *        -o qmsexample.so qmsexample.c
 * Copy qmsexample.so into the installation, for example into binaries/, and name an entry
 * in a hook setting of the group configuration:
 *
 *     [SMTP]
 *     hookOnConnect=qmsexample.so RejectClients 10.* 192.168.1.?
 *     hookOnCommand=qmsexample.so CommandAlias RSET=NOOP
 *
 * Entries:
 *   RejectClients patterns...   rejects a client whose address matches one of the
 *                               patterns ("*" any run of characters, "?" one character)
 *                               with a reply of its own, and logs it.
 *   CommandAlias FROM=TO        replaces a command verb by another (hookOnCommand: the
 *                               arguments are the setting's words, then the command line).
 *   Tag name value              sets the session variable "session.<name>" so that reply
 *                               texts can show it as %(session.<name>); goes on.
 *   qmsHttpRequest              an HTTP application request: answers with a short page.
 *
 * A general hook returns 0 to let the session go on, 1 or more when it acted; its output
 * text (set with qmsSetValue kind QMS_VALUE_OUTPUT) is the reply or the new command line.
 */
#include <ctype.h>
#include <stdio.h>
#include <string.h>
#include <strings.h>

#include "qmsplugin.h"

/* "*" and "?" matching without regard to case, as the server matches client addresses. */
static int Match(const char* pattern, const char* text) {
  while (*pattern) {
    if (*pattern == '*') {
      ++pattern;
      if (!*pattern) return 1;
      for (; *text; ++text)
        if (Match(pattern, text)) return 1;
      return 0;
    }
    if (!*text) return 0;
    if (*pattern != '?' && tolower((unsigned char)*pattern) != tolower((unsigned char)*text))
      return 0;
    ++pattern;
    ++text;
  }
  return *text == 0;
}

static const char* Arguments(qmsHookInfo* info) {
  const qmsCallData* data = (const qmsCallData*)info->calldata;
  return data && data->arguments ? data->arguments : "";
}

/* Copies the next blank-separated word of *p into word (at most size - 1 characters). */
static int NextWord(const char** p, char* word, size_t size) {
  const char* s = *p;
  size_t n = 0;
  while (*s == ' ') ++s;
  if (!*s) return 0;
  while (*s && *s != ' ') {
    if (n + 1 < size) word[n++] = *s;
    ++s;
  }
  word[n] = 0;
  *p = s;
  return 1;
}

QMS_PLUGIN_EXPORT int32_t RejectClients(qmsHookInfo* info) {
  const qmsCallbacks* cb = info->callbacks;
  char address[64];
  char pattern[256];
  char line[512];
  const char* args = Arguments(info);
  /* The buffer holds the size passed plus the terminating null. */
  if (!cb->qmsGetValue(info, QMS_VALUE_SESSION, "remoteip", address, sizeof address - 1)) return 0;
  while (NextWord(&args, pattern, sizeof pattern)) {
    if (Match(pattern, address)) {
      snprintf(line, sizeof line, "RejectClients: %s matches %s", address, pattern);
      cb->qmsLog(info, 0, 0, line);
      cb->qmsSetValue(info, QMS_VALUE_OUTPUT, NULL, "554 Access denied by plug-in");
      return 1;
    }
  }
  return 0;
}

QMS_PLUGIN_EXPORT int32_t CommandAlias(qmsHookInfo* info) {
  const qmsCallbacks* cb = info->callbacks;
  const char* args = Arguments(info);
  char alias[256];
  char verb[256];
  char command[1024];
  const char* rest;
  const char* eq;
  size_t fromLen;
  if (!NextWord(&args, alias, sizeof alias)) return 0;
  eq = strchr(alias, '=');
  if (!eq) return 0;
  fromLen = (size_t)(eq - alias);
  rest = args;
  if (!NextWord(&rest, verb, sizeof verb)) return 0;
  if (strlen(verb) != fromLen || strncasecmp(verb, alias, fromLen) != 0) return 0;
  snprintf(command, sizeof command, "%s%s", eq + 1, rest);
  cb->qmsSetValue(info, QMS_VALUE_OUTPUT, NULL, command);
  return 1;
}

QMS_PLUGIN_EXPORT int32_t Tag(qmsHookInfo* info) {
  const qmsCallbacks* cb = info->callbacks;
  const char* args = Arguments(info);
  char name[200];
  char variable[256];
  if (!NextWord(&args, name, sizeof name)) return 0;
  while (*args == ' ') ++args;
  snprintf(variable, sizeof variable, "session.%s", name);
  cb->qmsSetValue(info, QMS_VALUE_SESSION, variable, args);
  return 0;
}

QMS_PLUGIN_EXPORT int32_t qmsHttpRequest(qmsHookInfo* info) {
  const qmsCallbacks* cb = info->callbacks;
  char address[64];
  char body[256];
  char reply[512];
  int n;
  if (!cb->qmsGetValue(info, QMS_VALUE_SESSION, "remoteip", address, sizeof address - 1))
    strcpy(address, "unknown");
  snprintf(body, sizeof body, "<html><body><p>Hello %s, this is %s.</p></body></html>\r\n", address,
           info->product);
  n = snprintf(reply, sizeof reply,
               "HTTP/1.0 200 OK\r\nContent-Type: text/html\r\nContent-Length: %u\r\n\r\n%s",
               (unsigned)strlen(body), body);
  return cb->qmsSend(info, reply, n);
}
