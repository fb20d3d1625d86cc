// The NT driver development kit's header: the WDM set plus what only
// non-WDM drivers use (nothing more is hosted yet).
#pragma once

#include "wdm.h"
