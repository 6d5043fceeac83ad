/*
 * Example external authentication module for Quillmar/32 ("qmsauth.so").
 *
 * An account whose user file says "Password=<external>" is checked by calling
 *
 *     int32_t qmsAuthenticate(const char *account, const char *password);
 *
 * in this library: 0 accepts, any other value rejects (the value is reported as the
 * error code). The server loads the library for every check and unloads it afterwards,
 * and several session threads may call it at the same time, so the entry point keeps no
 * state between calls.
 *
 * This example looks the account up in a text file of lines "account password" (blank
 * separated; lines starting with "#" are comments). The file is named by the environment
 * variable QMSAUTH_FILE, by default "config/qmsauth.users" in the installation directory.
 * Account names compare without regard to case, passwords exactly.
 *
 * Results: 0 accepted, 1 wrong password, 2 unknown account, 3 password file missing,
 * 4 bad arguments.
 *
 * Build: cc -shared -fPIC -o qmsauth.so qmsauth_example.c; install it as
 * binaries/qmsauth.so.
 */
#include <stdint.h>
#include <stdio.h>
#include <stdlib.h>
#include <string.h>
#include <strings.h>

#define QMSAUTH_EXPORT __attribute__((visibility("default")))

enum { kAccepted = 0, kWrongPassword = 1, kUnknownAccount = 2, kNoFile = 3, kBadArguments = 4 };

/* Cuts the next blank-separated word out of *p; NULL when none is left. */
static char *next_word(char **p) {
  char *s = *p;
  while (*s == ' ' || *s == '\t') ++s;
  if (*s == '\0') return NULL;
  char *word = s;
  while (*s != '\0' && *s != ' ' && *s != '\t') ++s;
  if (*s != '\0') *s++ = '\0';
  *p = s;
  return word;
}

QMSAUTH_EXPORT int32_t qmsAuthenticate(const char *account, const char *password) {
  if (account == NULL || password == NULL || account[0] == '\0') return kBadArguments;
  const char *name = getenv("QMSAUTH_FILE");
  if (name == NULL || name[0] == '\0') name = "config/qmsauth.users";
  FILE *f = fopen(name, "re");
  if (f == NULL) return kNoFile;

  int32_t result = kUnknownAccount;
  char line[1024];
  while (fgets(line, sizeof line, f) != NULL) {
    line[strcspn(line, "\r\n")] = '\0';
    char *rest = line;
    char *user = next_word(&rest);
    if (user == NULL || user[0] == '#') continue;
    if (strcasecmp(user, account) != 0) continue;
    char *secret = next_word(&rest);
    result = (secret != NULL && strcmp(secret, password) == 0) ? kAccepted : kWrongPassword;
    break;
  }
  fclose(f);
  return result;
}
