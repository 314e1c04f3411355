/* The extension header as a plain C host compiles it: the records' layout
   seen from C, for the test that compares it with C++'s. */
#include <stddef.h>

#include "vantrel/extension.h"

/* Each export has the type its function type names (checked, never called:
   this program finds the exports with dlsym). */
#define SAME_TYPE(fn, type) _Static_assert(__builtin_types_compatible_p(__typeof__(&fn), type), #fn)
SAME_TYPE(VantrelSetLog, VantrelSetLogFn);
SAME_TYPE(VantrelSetEvents, VantrelSetEventsFn);
SAME_TYPE(VantrelSetSetting, VantrelSetSettingFn);
SAME_TYPE(VantrelIdentify, VantrelIdentifyFn);
SAME_TYPE(VantrelReadSpan, VantrelReadSpanFn);

size_t VantrelLayoutFromC(int which) {
  switch (which) {
    case 0: return sizeof(VantrelEvent);
    case 1: return offsetof(VantrelEvent, plan_done);
    case 2: return offsetof(VantrelEvent, elapsed_ms);
    case 3: return sizeof(VantrelIdentity);
    case 4: return offsetof(VantrelIdentity, fs_sections);
    case 5: return sizeof(VantrelFsSection);
    case 6: return offsetof(VantrelFsSection, next_action);
    case 7: return sizeof(VantrelReadRange);
    default: return 0;
  }
}
