// A test-only protocol session: greets, echoes every line, ends on QUIT. It stands in for
// the protocols in process-level tests of the server core.
#pragma once

void qmsRegisterEchoSessions();
