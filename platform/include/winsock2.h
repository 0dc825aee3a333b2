// Windows Sockets 2. On Windows it must come before windows.h wherever
// libcurl's header is used; here libcurl talks to the host's sockets itself,
// so the product needs no socket call of its own from this header.
#pragma once
#include <windows.h>
