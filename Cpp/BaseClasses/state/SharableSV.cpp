#include "Cpp/BaseClasses/state/SharableSV.h"

// The framework's one instantiation: places hold 16-bit markings.
template class SharableSV<short>;
