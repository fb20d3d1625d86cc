// Included before a header that uses DEFINE_GUID, in one source file: its
// GUIDs are defined there rather than only declared.
#pragma once

#include "ntdef.h"

#define INITGUID
#undef DEFINE_GUID
#define DEFINE_GUID(name, l, w1, w2, b1, b2, b3, b4, b5, b6, b7, b8)           \
  EXTERN_C const GUID __attribute__((weak))                                    \
  name = {l, w1, w2, {b1, b2, b3, b4, b5, b6, b7, b8}}
