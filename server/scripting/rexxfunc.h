// qmsRexxFunc: the external function behind the four names the server offers to REXX
// scripts - qmsCFG, qmsLOG, qmsSAY and qmsVAR - in the interpreter's calling convention.
//
//   qmsCFG(session, file, section, key)  value of key in section of a configuration file
//   qmsLOG(session, text)                writes text to the session's service log
//   qmsSAY(session, text)                sends text and CR LF to the session's client
//   qmsVAR(session, template)            the template expanded in the session's context
//
// "session" is the first word of the script's argument (the session's socket handle).
// Names are compared without regard to case. Success returns 0 with the result (empty for
// qmsLOG and qmsSAY). Every failure - too few arguments, an unknown name, no session with
// that key, a send that fails, an exception - sets the result "-1" and returns non-zero,
// which raises the interpreter's incorrect-call condition in the script.
#pragma once

#define INCL_RXFUNC
#include <rexxsaa.h>

APIRET APIENTRY qmsRexxFunc(PCSZ name, ULONG argc, PRXSTRING argv, PCSZ queueName,
                            PRXSTRING result);
