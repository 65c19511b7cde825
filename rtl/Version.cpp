#include "rtl/Version.h"

// Set on this file alone, so a new version rebuilds one file.
const char* const VeltrowVersion = VELTROW_VERSION;
