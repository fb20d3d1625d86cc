// Must not compile as driver code: the C++ standard library is not there.
#include <wdm.h>
#include <vector>

int probe() { return static_cast<int>(std::vector<int>{1}.size()); }
