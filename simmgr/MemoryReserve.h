#ifndef SIMMGR_MEMORY_RESERVE_H
#define SIMMGR_MEMORY_RESERVE_H

// Memory held back for the moments memory runs out (a ulimit -v, say). An
// allocation that fails throws std::bad_alloc, and where that happens in a
// destructor, or in the unwinding from an earlier one (a JSON tree being
// destroyed keeps a stack of its children), the process ends with a core
// dump and no word of what failed. The reserve is in two parts: the first
// failure gives the first part back and the allocation is tried again,
// whatever code it is in; the next gives the second back and throws, so
// that the unwinding has room and the handler can say what failed.
namespace MemoryReserve {

// Holds the reserve (again, the parts given back) and installs the handler
// that gives it back; false when it cannot be had in full.
bool Arm();

}  // namespace MemoryReserve

#endif
