// Stand-ins for broken archive libraries, built in three variants: without
// CreateObject, without GetHashers, and complete but with the other
// interface layout (IUnknown with a virtual destructor).
#include <cstdint>
#include <cstring>

extern "C" {

#ifndef FAKE_NO_CREATE_OBJECT
__attribute__((visibility("default"))) int32_t CreateObject(const void*, const void*, void** object) {
  *object = nullptr;
  return static_cast<int32_t>(0x80040111u);
}
#endif

#ifdef FAKE_WITH_HASHERS
__attribute__((visibility("default"))) int32_t GetHashers(void** hashers) {
  *hashers = nullptr;
  return 0;
}

// kInterfaceType answered as 1: virtual destructor in IUnknown.
__attribute__((visibility("default"))) int32_t GetModuleProp(uint32_t id, void* value) {
  unsigned char* variant = static_cast<unsigned char*>(value);
  std::memset(variant, 0, 16);
  if (id == 0) {
    const uint16_t vtUi4 = 19;
    const uint32_t one = 1;
    std::memcpy(variant, &vtUi4, sizeof(vtUi4));
    std::memcpy(variant + 8, &one, sizeof(one));
  }
  return 0;
}
#endif
}
