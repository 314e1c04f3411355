// The exported class as the host's compiler sees it. The host links against
// CInterfaceTemplate's members under its own compiler's names and calling
// convention (thiscall, `this` in ECX); win/Vantrel.def exports these shims
// under those names. The class has no data: an object is one pointer, to a
// virtual table laid out the host's way (slot 0 the scalar deleting
// destructor, slots 1 to 6 the operations, pure in this class).
#include <cstdlib>
#include <new>

namespace {
using VtableEntry = const void*;
}

extern "C" {

extern const VtableEntry vantrel_itf_vtable[7];

// Default and copy constructors: set the class's table, return `this`.
void* __thiscall vantrel_itf_construct(void* self) {
  *static_cast<const VtableEntry**>(self) = vantrel_itf_vtable;
  return self;
}
void* __thiscall vantrel_itf_copy_construct(void* self, const void* /*other: no data*/) {
  return vantrel_itf_construct(self);
}
// Copy assignment copies nothing (no data) and returns `this`.
void* __thiscall vantrel_itf_assign(void* self, const void* /*other*/) { return self; }
// The destructor sets the class's own table back, as the host's compiler does
// on the way down a class tree; there is nothing else to destroy.
void __thiscall vantrel_itf_destruct(void* self) {
  *static_cast<const VtableEntry**>(self) = vantrel_itf_vtable;
}
// Slot 0: destroy, and free when bit 0 of the flags is set.
void* __thiscall vantrel_itf_deleting_destruct(void* self, unsigned flags) {
  vantrel_itf_destruct(self);
  if (flags & 1) ::operator delete(self);
  return self;
}
// Slots 1 to 6 are pure: reaching one is a fault in the caller's class tree,
// and the process ends as it would with the host compiler's own runtime.
[[noreturn]] void vantrel_itf_pure_call() { std::abort(); }

const VtableEntry vantrel_itf_vtable[7] = {
    reinterpret_cast<VtableEntry>(&vantrel_itf_deleting_destruct),
    reinterpret_cast<VtableEntry>(&vantrel_itf_pure_call),
    reinterpret_cast<VtableEntry>(&vantrel_itf_pure_call),
    reinterpret_cast<VtableEntry>(&vantrel_itf_pure_call),
    reinterpret_cast<VtableEntry>(&vantrel_itf_pure_call),
    reinterpret_cast<VtableEntry>(&vantrel_itf_pure_call),
    reinterpret_cast<VtableEntry>(&vantrel_itf_pure_call),
};

}  // extern "C"
