// The version --version prints and the Debian package carries (the
// project's version in the top CMakeLists.txt).
#pragma once

extern const char* const VeltrowVersion;
