// <windows.h> for the platform layer. The system header defines some of its functions as
// macros (CreateDirectory is CreateDirectoryA ...); the names that the platform API uses
// for its own functions are undefined here, so that they keep meaning ours. Code below
// calls the system's functions by their "A" names.
#pragma once

#include <windows.h>

#undef CreateDirectory
#undef IsCharAlpha
#undef IsCharAlphaNumeric
