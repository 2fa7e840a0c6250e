#ifndef SIMMGR_MEMORY_RESERVE_H
#define SIMMGR_MEMORY_RESERVE_H

// Memory held back for the moment memory runs out (a ulimit -v, say). An
// allocation that fails throws std::bad_alloc, and unwinding from it can
// itself need memory: a JSON tree being destroyed keeps a stack of its
// children, and an allocation that fails there, in a destructor, ends the
// process with a core dump and no word of what failed. The first failure
// after Arm() gives the reserve back before it throws, so that the
// unwinding has room, and the handler of that failure can say what failed.
namespace MemoryReserve {

// Holds the reserve (again) and installs the handler that gives it back;
// false when the reserve cannot be had (true when it is held already).
bool Arm();

}  // namespace MemoryReserve

#endif
