// Registration of the HTTP session class with the server core.
#pragma once

void qmsRegisterHttp();
