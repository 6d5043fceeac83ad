// Installs the scripting library's hook runners (REXX scripts, plug-in libraries) into the
// server core and the user database.
#pragma once

void qmsRegisterScripting();
