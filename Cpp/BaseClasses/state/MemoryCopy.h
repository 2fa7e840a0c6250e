#ifndef MEMORY_COPY_H
#define MEMORY_COPY_H

#include <cstring>

// Raw byte copies between typed values and state images, in native byte
// order and with no alignment assumed. Nothing is checked: the caller
// guarantees that both sides hold the bytes copied.

template <class T>
inline void writeArray(T* source, void* target, int count) {
  if (count > 0) std::memcpy(target, source, sizeof(T) * static_cast<size_t>(count));
}

template <class T>
inline void readArray(T* target, void* source, int count) {
  if (count > 0) std::memcpy(target, source, sizeof(T) * static_cast<size_t>(count));
}

template <class T>
inline void readMemory2(void* source, T* out) {
  std::memcpy(out, source, sizeof(T));
}

template <class T>
inline void writeMemory(T v, void* target) {
  std::memcpy(target, &v, sizeof(T));
}

#endif
