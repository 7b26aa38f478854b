// The same uses of the fixture header as fixture_use.c, compiled as C++17.
#include "fixture_use.c"
