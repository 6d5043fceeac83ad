// Registers the session classes of every protocol this server carries.
#pragma once

void qmsRegisterProtocols();
