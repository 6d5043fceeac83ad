// qmsTRexxLibrary: the REXX interpreter library (Regina), loaded at run time through its
// SAA programming interface. A server without the library runs no scripts: every script
// then answers 0 with the output "0", as if it had let the session go on.
//
// The library is looked for once, at the first use, under the name in the environment
// variable QMS_REXX_LIBRARY or else "libregina.so.3" (the launcher checks the same name).
//
// Threads: the installed Regina is a thread-safe build that keeps all interpreter state,
// external-function registrations included, per thread (pthread thread-specific data).
// So no call into it is serialised here: Run registers the server's functions on the
// calling thread whenever that thread does not have them yet, and many session threads
// may run scripts at the same moment. Only loading the library is done once under a lock.
//
// Signals: Regina installs handlers of its own for SIGINT, SIGTERM and SIGHUP at every
// call (they would turn the server's stop signals into HALT conditions of scripts) and
// resets SIGPIPE to its default action after a script ran an external command. After each
// script Run puts back what the process had when the library was loaded - for SIGPIPE
// only "ignore", since a default put back while another script's command runs could end
// the process - so the server's signal handling stays its own.
#pragma once

#include <signal.h>

#include <string>

class qmsTRexxLibrary {
 public:
  // Outcome of one script run.
  struct Result {
    long start = 0;      // RexxStart's value: 0 ran, negative interpreter error
    int returnCode = 0;  // the script's return code, signed 16-bit
    std::string output;  // the value of its final RETURN or EXIT, empty when none
  };

  static qmsTRexxLibrary& Instance();

  // True when the library and the operations the server uses were found.
  bool Available();
  // The library name tried (QMS_REXX_LIBRARY or the default).
  static std::string LibraryName();

  // Runs script as a command ("CMD" environment, no exits) with one argument. False when
  // the library is missing (result untouched).
  bool Run(const std::string& script, const std::string& argument, Result& result);

  // Memory the interpreter may free (results of external functions longer than the
  // buffer it provides); nullptr when the library is missing or out of memory.
  void* AllocateMemory(unsigned long size);

 private:
  qmsTRexxLibrary() = default;
  void Load();
  bool RegisterFunctions();

  struct Api;
  void RestoreSignals();

  Api* api_ = nullptr;  // set once by Load, never freed (the library stays loaded)
  bool ignore_sigpipe_ = false;
  struct sigaction saved_[3] = {};  // SIGINT, SIGTERM, SIGHUP before the library came
};
