// Compiled by a test that expects it to fail: a part of the engine header
// included on its own must say what to include instead.
#include "korva_transmit.hpp"
