#include "vantrel/codes.h"

#include <iterator>

namespace vantrel {
namespace {

const CodeInfo kTable[] = {
#define VANTREL_CODE_ROW(name, number, kind, meaning) {number, #name, meaning, CodeKind::k##kind},
    VANTREL_RESULT_CODES(VANTREL_CODE_ROW)
#undef VANTREL_CODE_ROW
};

const CodeInfo* Find(int code) {
  for (const auto& c : kTable)
    if (c.code == code) return &c;
  return nullptr;
}

}  // namespace

const CodeInfo* CodeTable(std::size_t* count) {
  if (count) *count = std::size(kTable);
  return kTable;
}

const char* CodeName(int code) {
  const CodeInfo* c = Find(code);
  return c ? c->name : "Unknown";
}

const char* CodeMeaning(int code) {
  const CodeInfo* c = Find(code);
  return c ? c->meaning : "unknown code";
}

CodeKind CodeKindOf(int code) {
  const CodeInfo* c = Find(code);
  return c ? c->kind : CodeKind::kFlash;
}

}  // namespace vantrel
