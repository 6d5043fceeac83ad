// Registration of the mail protocols' session classes with the server core.
#pragma once

void qmsRegisterSmtp();
void qmsRegisterPop3();
void qmsRegisterImap4();
