// Must be refused as driver code: it reaches into the hosted kernel.
#include <wdm.h>
#include "platform/kernel/kernel.h"
