// The little of a C runtime the Windows program needs, as there is none:
// the memory and string routines the compiler and the program call, and the
// pieces C++ names in every class with virtual functions. Built without
// builtins, so that no loop here is turned back into a call to itself.
#include <cstddef>

extern "C" {

void* memcpy(void* to, const void* from, std::size_t size) {
  auto* out = static_cast<unsigned char*>(to);
  const auto* in = static_cast<const unsigned char*>(from);
  while (size-- > 0) *out++ = *in++;
  return to;
}

void* memmove(void* to, const void* from, std::size_t size) {
  auto* out = static_cast<unsigned char*>(to);
  const auto* in = static_cast<const unsigned char*>(from);
  if (out < in) return memcpy(to, from, size);
  while (size-- > 0) out[size] = in[size];
  return to;
}

void* memset(void* to, int byte, std::size_t size) {
  auto* out = static_cast<unsigned char*>(to);
  while (size-- > 0) *out++ = static_cast<unsigned char>(byte);
  return to;
}

int memcmp(const void* left, const void* right, std::size_t size) {
  const auto* a = static_cast<const unsigned char*>(left);
  const auto* b = static_cast<const unsigned char*>(right);
  for (; size > 0; --size, ++a, ++b) {
    if (*a != *b) return *a < *b ? -1 : 1;
  }
  return 0;
}

void* memchr(const void* text, int byte, std::size_t size) {
  const auto* p = static_cast<const unsigned char*>(text);
  for (; size > 0; --size, ++p) {
    if (*p == static_cast<unsigned char>(byte))
      return const_cast<unsigned char*>(p);
  }
  return nullptr;
}

std::size_t strlen(const char* text) {
  std::size_t size = 0;
  while (text[size] != '\0') ++size;
  return size;
}

int strncmp(const char* left, const char* right, std::size_t size) {
  for (; size > 0; --size, ++left, ++right) {
    unsigned char a = static_cast<unsigned char>(*left);
    unsigned char b = static_cast<unsigned char>(*right);
    if (a != b) return a < b ? -1 : 1;
    if (a == '\0') return 0;
  }
  return 0;
}

int strcmp(const char* left, const char* right) {
  return strncmp(left, right, ~std::size_t{0});
}

char* strcpy(char* to, const char* from) {
  return static_cast<char*>(memcpy(to, from, strlen(from) + 1));
}

// Named in the table of every class with a pure virtual function; never
// called, as no object of such a class is ever incomplete.
void __cxa_pure_virtual() { __builtin_trap(); }

}  // extern "C"

// Named by the virtual destructors; never called: nothing is made with new.
void operator delete(void*) noexcept { __builtin_trap(); }
void operator delete(void*, std::size_t) noexcept { __builtin_trap(); }
