// Symbol visibility for the library's public face.
//
// Everything is built hidden; only the interposed C-library functions and the two
// host setters carry this mark, and the version script keeps the rest local too.
#pragma once

#define VELMORA_EXPORT extern "C" __attribute__((visibility("default")))
