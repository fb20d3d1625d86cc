#include "driver/driver_fixture.h"
